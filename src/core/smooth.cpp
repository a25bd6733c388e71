// Taubin and bilateral smoothing. Every sum runs in neighbour-list order on one thread, so the
// results are reproducible to the bit.
#include "smooth.hpp"

#include <algorithm>
#include <cmath>

#include "mesh_error.hpp"
#include "progress.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

void add_neighbour(std::vector<uint32_t>& list, uint32_t v) {
  if (std::find(list.begin(), list.end(), v) == list.end()) list.push_back(v);
}

// Area-weighted vertex normals, normalised where their length exceeds 1e-12.
std::vector<Vec3> vertex_normals(std::span<const Vec3> positions, std::span<const Tri> triangles) {
  std::vector<Vec3> normals(positions.size(), Vec3{0, 0, 0});
  for (const Tri& t : triangles) {
    const Vec3 n = face_normal(positions[t[0]], positions[t[1]], positions[t[2]]);
    for (uint32_t v : t) normals[v] += n;
  }
  for (Vec3& n : normals) {
    const double len = length(n);
    if (len > 1e-12) n = {n[0] / len, n[1] / len, n[2] / len};
  }
  return normals;
}

// Mean length of the neighbour graph's edges, each counted once; 1.0 without edges.
double mean_edge_length(std::span<const Vec3> positions, const NeighbourLists& neighbours) {
  double sum = 0;
  uint64_t count = 0;
  for (std::size_t i = 0; i < neighbours.size(); ++i) {
    for (uint32_t j : neighbours[i]) {
      if (j > i) {
        sum += length(positions[j] - positions[i]);
        ++count;
      }
    }
  }
  return count == 0 ? 1.0 : sum / static_cast<double>(count);
}

// One bilateral pass into `out`; d_spatial = 2 sigma_s^2, d_normal = 2 sigma_n^2.
void bilateral_step(std::span<const Vec3> positions, const NeighbourLists& neighbours,
                    const std::vector<Vec3>& normals, double d_spatial, double d_normal, std::span<Vec3> out) {
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const Vec3& p = positions[i];
    out[i] = p;
    if (neighbours[i].empty()) continue;
    double weight_sum = 0;
    Vec3 weighted{0, 0, 0};
    for (uint32_t j : neighbours[i]) {
      const Vec3 d = positions[j] - p;
      const double ws = std::exp(-length_squared(d) / d_spatial);
      const double wn = std::exp(-std::fmax(0.0, 1.0 - dot(normals[i], normals[j])) / d_normal);
      const double w = ws * wn;
      weight_sum += w;
      weighted += d * w;
    }
    if (weight_sum > 1e-12) {
      out[i] = {p[0] + weighted[0] / weight_sum, p[1] + weighted[1] / weight_sum, p[2] + weighted[2] / weight_sum};
    }
  }
}

}  // namespace

NeighbourLists build_neighbour_lists(std::size_t vertex_count, std::span<const Tri> triangles) {
  require_valid_indices(vertex_count, triangles);
  NeighbourLists lists(vertex_count);
  for (const Tri& t : triangles) {
    const uint32_t a = t[0], b = t[1], c = t[2];
    add_neighbour(lists[a], b);
    add_neighbour(lists[b], a);
    add_neighbour(lists[b], c);
    add_neighbour(lists[c], b);
    add_neighbour(lists[c], a);
    add_neighbour(lists[a], c);
  }
  return lists;
}

void laplacian_step(std::span<Vec3> positions, const NeighbourLists& neighbours, std::span<Vec3> scratch,
                    double factor) {
  for (std::size_t i = 0; i < positions.size(); ++i) {
    const std::vector<uint32_t>& list = neighbours[i];
    if (list.empty()) {
      scratch[i] = positions[i];
      continue;
    }
    Vec3 sum{0, 0, 0};
    for (uint32_t j : list) sum += positions[j];
    const double count = static_cast<double>(list.size());
    const Vec3 mean{sum[0] / count, sum[1] / count, sum[2] / count};
    scratch[i] = positions[i] + (mean - positions[i]) * factor;
  }
  std::copy(scratch.begin(), scratch.end(), positions.begin());
}

void taubin_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations, double lambda) {
  if (positions.empty() || iterations == 0) return;
  const double mu = -lambda / (1.0 + lambda * -0.1);
  // A non-finite factor would turn every position into NaN.
  if (!std::isfinite(lambda) || !std::isfinite(mu)) return;
  const NeighbourLists neighbours = build_neighbour_lists(positions.size(), triangles);
  std::vector<Vec3> scratch(positions.size());
  Progress stage = progress_start("Taubin smooth", iterations);
  for (uint64_t i = 0; i < iterations; ++i) {
    throw_if_stopped();
    progress_tick(stage, i);
    laplacian_step(positions, neighbours, scratch, lambda);
    laplacian_step(positions, neighbours, scratch, mu);
  }
}

void bilateral_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations,
                      double sigma_n) {
  if (positions.empty() || iterations == 0) return;
  const double d_normal = sigma_n * (sigma_n + sigma_n);
  // sigma_n <= 0 (or so small that 2 sigma_n^2 is 0) makes the normal weight 0/0.
  if (!(sigma_n > 0) || !(d_normal > 0)) return;
  const NeighbourLists neighbours = build_neighbour_lists(positions.size(), triangles);
  std::vector<Vec3> scratch(positions.size());
  Progress stage = progress_start("bilateral smooth", iterations);
  for (uint64_t i = 0; i < iterations; ++i) {
    throw_if_stopped();
    progress_tick(stage, i);
    const std::vector<Vec3> normals = vertex_normals(positions, triangles);
    const double sigma_s = mean_edge_length(positions, neighbours);
    const double d_spatial = sigma_s * (sigma_s + sigma_s);
    // Without a positive, finite distance scale every weight is 0/0 or inf/inf.
    if (!(d_spatial > 0) || !std::isfinite(d_spatial)) break;
    bilateral_step(positions, neighbours, normals, d_spatial, d_normal, scratch);
    std::copy(scratch.begin(), scratch.end(), positions.begin());
  }
}

}  // namespace morvane
