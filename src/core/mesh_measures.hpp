// Measures of a triangle mesh that several stages take: area-weighted vertex normals and the mean
// edge length. Every sum is taken in a fixed order, so that it rounds the same way on every worker
// count: a vertex's normal over its triangles in triangle order, as one walk over the triangles
// would, and the edge lengths in list order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "incidence.hpp"
#include "mesh.hpp"

namespace morvane {

// sums[v]: the sum of face_normal over the triangles of incidence[v], in list order; one entry per
// vertex of `incidence`.
void vertex_normal_sums(std::span<const Vec3> positions, std::span<const Tri> triangles, const Incidence& incidence,
                        std::span<Vec3> sums);

// The same over the triangles t with skip[t] == 0 (an empty `skip` keeps them all), one sum per
// position. Every index of a kept triangle must be below positions.size().
std::vector<Vec3> vertex_normal_sums(std::span<const Vec3> positions, std::span<const Tri> triangles,
                                     std::span<const uint8_t> skip = {});

// Scales every vector longer than 1e-12 to unit length; shorter ones become `fallback`, or stay as
// they are without one.
void normalise_vertex_normals(std::span<Vec3> normals, const std::optional<Vec3>& fallback = std::nullopt);

// Mean length of the edges; 1.0 without edges. The lengths are measured in parallel and summed on
// one thread.
double mean_edge_length(std::span<const Vec3> positions, std::span<const EdgeKey> edges);

}  // namespace morvane
