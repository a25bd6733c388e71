// Wavefront OBJ: reading into one merged triangle mesh with face-varying texture coordinates and
// normals, and writing with fixed number formats.
#pragma once

#include <string>
#include <string_view>

#include "mesh_data.hpp"

namespace morvane::io {

// Reads an OBJ file; every failure, a file that cannot be opened included, throws IoError
// (ObjParse), except the size limits (MeshTooLarge).
MeshData read_obj(const std::string& path);

// Parses OBJ text already in memory, under the given size limits.
MeshData parse_obj(std::string_view text, const MeshLimits& limits = {});

// Writes the mesh as OBJ text; corners are numbered for "vt" and "vn". Throws IoError (Io).
void write_obj(const std::string& path, const MeshData& mesh);

}  // namespace morvane::io
