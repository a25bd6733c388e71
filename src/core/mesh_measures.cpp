#include "mesh_measures.hpp"

#include <cmath>

#include "grid_array.hpp"
#include "parallel.hpp"

namespace morvane {

void vertex_normal_sums(std::span<const Vec3> positions, std::span<const Tri> triangles, const Incidence& incidence,
                        std::span<Vec3> sums) {
  parallel_for_each_index(0, sums.size(), [&](std::size_t v) {
    Vec3 sum{0, 0, 0};
    for (uint32_t t : incidence[v]) sum += face_normal(positions, triangles[t]);
    sums[v] = sum;
  });
}

std::vector<Vec3> vertex_normal_sums(std::span<const Vec3> positions, std::span<const Tri> triangles,
                                     std::span<const uint8_t> skip) {
  std::vector<Vec3> sums(positions.size());
  vertex_normal_sums(positions, triangles, build_incidence(positions.size(), triangles, skip), sums);
  return sums;
}

void normalise_vertex_normals(std::span<Vec3> normals, const std::optional<Vec3>& fallback) {
  // A sum this much shorter than the longest has cancelled, or comes from faces as flat as the
  // proxy's promise allows none to be: it gives no direction.
  constexpr double kNoDirection = 1e-12;
  const double longest = parallel_max(0, normals.size(), 0.0, [&](std::size_t v) {
    const double len = length(normals[v]);
    return std::isfinite(len) ? len : 0.0;
  });
  const double shortest = kNoDirection * longest;
  parallel_for_each_index(0, normals.size(), [&](std::size_t v) {
    Vec3& n = normals[v];
    const double len = length(n);
    n = len > shortest ? Vec3{n[0] / len, n[1] / len, n[2] / len} : fallback.value_or(n);
  });
}

double mean_edge_length(std::span<const Vec3> positions, std::span<const EdgeKey> edges) {
  if (edges.empty()) return 1.0;
  GridArray<double> lengths;
  lengths.resize(edges.size());  // every entry is written below
  parallel_for_each_index(0, edges.size(), [&](std::size_t e) {
    lengths[e] = length(positions[edges[e].b] - positions[edges[e].a]);
  });
  double sum = 0;
  for (double l : lengths) sum += l;
  return sum / static_cast<double>(edges.size());
}

}  // namespace morvane
