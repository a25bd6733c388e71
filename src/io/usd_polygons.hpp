// Fan triangulation of USD polygon lists (faceVertexCounts with faceVertexIndices), shared by the
// text and crate readers. Polygons are validated and counted before any triangle is stored, so a
// file that claims a huge mesh is refused before its triangle list is allocated.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "mesh_data.hpp"

namespace morvane::io {

// Fan triangulation: a polygon of c corners gives the c - 2 triangles (i0, ik, ik+1), k = 1 .. c-2.
// Throws the first problem met, polygon by polygon, as a USD parse error: a count below 3 or above
// the number of indices "bad faceVertexCounts entry", a polygon running past the indices
// "faceVertexIndices truncated", an index outside 0..4294967295 "vertex index out of range".
// Indices after the last polygon are ignored.
std::vector<Tri> triangulate_polygons(std::span<const int64_t> counts, std::span<const int64_t> indices);

// The readers' road from polygons to triangles: validate, refuse indices not below
// `point_count` ("faceVertexIndices out of range"), apply `limits` when given (vertex count
// first), and only then allocate and fill the triangles, as (a, c, b) for a left-handed mesh.
std::vector<Tri> polygons_to_triangles(std::span<const int64_t> counts, std::span<const int64_t> indices,
                                       uint64_t point_count, bool left_handed, const MeshLimits* limits);
std::vector<Tri> polygons_to_triangles(std::span<const int32_t> counts, std::span<const int32_t> indices,
                                       uint64_t point_count, bool left_handed, const MeshLimits* limits);

}  // namespace morvane::io
