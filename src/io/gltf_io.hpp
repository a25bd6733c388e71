// glTF 2.0: reading JSON glTF and GLB files into one merged triangle mesh with face-varying
// texture coordinates and normals, and writing positions and triangles as a GLB container or a
// JSON glTF file.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/mesh.hpp"
#include "mesh_data.hpp"

namespace morvane::io {

// Reads a glTF file; whether it is JSON or a GLB container is told by its content, not its
// extension. Failures throw IoError: ObjParse with a text that starts "glTF: " (the file itself
// unreadable included), ObjParse "no triangle meshes found in glTF", or MeshTooLarge. Memory that
// cannot be had, buffers declared beyond what is available included, throws OutOfMemory naming
// what it was for.
MeshData read_gltf(const std::string& path);

// The reader on bytes already in memory, under the given size limits. Relative URIs of buffers
// and images resolve inside `base_dir`; with an empty `base_dir` no file is read.
MeshData read_gltf_bytes(std::string_view bytes, const std::string& base_dir, const MeshLimits& limits = {});

// Writes positions and triangles as a GLB container (texture coordinates and normals are not
// written). Throws IoError (Io), also for a mesh too large for the container's 32-bit lengths and
// for a position that is not finite as a 32-bit float. The mesh must hold at least one vertex and
// one triangle, and valid indices: glTF accessors are never empty (see find_save_error).
void write_glb(const std::string& path, const MeshData& mesh);
void write_glb(const std::string& path, std::span<const Vec3> positions, std::span<const Tri> triangles);

// The same document as a JSON glTF file, its buffer embedded as a base64 data URI; refuses what
// write_glb refuses, and a buffer whose base64 text would be longer than the reader takes.
void write_gltf(const std::string& path, std::span<const Vec3> positions, std::span<const Tri> triangles);

}  // namespace morvane::io
