// Area-weighted vertex normals and the mean edge length, which several stages take. Each sum runs
// in a fixed order (a vertex's triangles in triangle order, edges in list order), so that it rounds
// the same way on every worker count and as one walk over the triangles would.
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

// Scales every vector longer than 1e-12 of the longest finite one to unit length; shorter ones,
// which have no reliable direction, become `fallback`, or stay as they are without one. The
// measure is the vectors' own, so the result does not depend on the model's unit of length.
void normalise_vertex_normals(std::span<Vec3> normals, const std::optional<Vec3>& fallback = std::nullopt);

// Mean length of the edges; 1.0 without edges. The lengths are measured in parallel and summed on
// one thread.
double mean_edge_length(std::span<const Vec3> positions, std::span<const EdgeKey> edges);

}  // namespace morvane
