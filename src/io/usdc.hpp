// USD crate files: the reader of one mesh prim (points, face vertex counts and indices,
// orientation) and the writer of the proxy layer (the same prim and attributes as the text writer).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "mesh_data.hpp"

namespace morvane::io {

// Reads the first Mesh prim, in namespace order, of a crate file. Throws IoError.
MeshData read_usdc(const std::string& path);

// The crate reader on a file already in memory.
MeshData read_usdc_bytes(std::span<const uint8_t> file, const MeshLimits& limits = {});

// Writes the mesh as a crate file of version 0.8.0. Throws IoError.
void write_usdc(const std::string& path, const MeshData& mesh);

// The whole crate file that write_usdc writes, as bytes.
std::vector<uint8_t> encode_usdc(const MeshData& mesh);

}  // namespace morvane::io
