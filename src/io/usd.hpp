// USD files: the entry that tells crate files, usdz packages and text layers apart by their first
// bytes, and the reader and writer of USDA text layers (one mesh prim, its points, face vertex
// counts and indices and its orientation).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/mesh.hpp"
#include "mesh_data.hpp"
#include "usd_polygons.hpp"

namespace morvane::io {

// Reads a crate file (first 8 bytes "PXR-USDC") through read_usdc, refuses a zip ("PK") package,
// and reads anything else as a USDA text layer. Throws IoError.
MeshData read_usd(const std::string& path);

// The text reader on bytes already in memory: refuses text that is not UTF-8 ("stream did not
// contain valid UTF-8", an I/O error), normalises line ends, parses the layer and reads the first
// Mesh prim of its traversal.
MeshData read_usda_bytes(std::string_view bytes);

// An array value "[...]" as comma-separated decimal integers; empty pieces are skipped, any other
// piece that is not a signed 64-bit integer, or a value that is not an array, gives none.
std::optional<std::vector<int64_t>> parse_int_array(std::string_view value);

// An array value "[...]" of "(x, y, z)" tuples; a tuple without exactly three numbers, or a value
// that is not an array, gives none. Text between the tuples is ignored.
std::optional<std::vector<Vec3>> parse_point_array(std::string_view value);

// Per-axis minimum then maximum (min x, y, z, max x, y, z) over all positions, skipping NaN,
// narrowed to f32; all zeros without positions.
std::array<float, 6> compute_extent(std::span<const Vec3> positions);

// Writes a USDA layer with one Mesh prim "proxy" (also the default prim), its uvs and normals as
// face-varying primvars when present. Throws IoError.
void write_usda(const std::string& path, const MeshData& mesh);

}  // namespace morvane::io
