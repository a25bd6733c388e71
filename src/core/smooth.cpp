#include "smooth.hpp"

#include <algorithm>
#include <cmath>

#include "fold_free_moves.hpp"
#include "grid_array.hpp"
#include "incidence.hpp"
#include "mesh_measures.hpp"
#include "mesh_error.hpp"
#include "parallel.hpp"
#include "progress.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

using detail::NeighbourLists;

// The list of vertex v from its triangles: triangle (a, b, c) adds, in this order, b to a's list,
// a to b's, c to b's, b to c's, a to c's and c to a's, each only when not yet there.
template <class List>
void collect_neighbours(std::span<const Tri> triangles, std::span<const uint32_t> incident, uint32_t v, List& list) {
  list.clear();
  for (uint32_t t : incident) {
    const uint32_t a = triangles[t][0], b = triangles[t][1], c = triangles[t][2];
    const uint32_t additions[6][2] = {{a, b}, {b, a}, {b, c}, {c, b}, {c, a}, {a, c}};  // {list, neighbour}
    for (const auto& [target, n] : additions) {
      if (target == v && std::find(list.begin(), list.end(), n) == list.end()) list.push_back(n);
    }
  }
}

// Each triangle adds at most two neighbours to a vertex's list, so the lists are collected once
// into room for that many, then packed.
NeighbourLists neighbour_lists(std::span<const Tri> triangles, const Incidence& incidence, std::size_t vertex_count) {
  GridArray<uint32_t> room;
  room.resize(2 * incidence.triangles.size());  // written only where read
  std::vector<std::size_t> counts(vertex_count);
  parallel_for_chunks(0, vertex_count, 1024, [&](std::size_t lo, std::size_t hi) {
    std::vector<uint32_t> list;
    for (std::size_t v = lo; v < hi; ++v) {
      collect_neighbours(triangles, incidence[v], static_cast<uint32_t>(v), list);
      std::copy(list.begin(), list.end(), room.begin() + static_cast<std::ptrdiff_t>(2 * incidence.start[v]));
      counts[v] = list.size();
    }
  });
  NeighbourLists lists;
  lists.start.resize(vertex_count + 1);
  lists.start[0] = 0;
  for (std::size_t v = 0; v < vertex_count; ++v) lists.start[v + 1] = lists.start[v] + counts[v];
  lists.neighbours.resize(lists.start[vertex_count]);  // every entry is written below
  parallel_for_each_index(0, vertex_count, [&](std::size_t v) {
    const auto from = room.begin() + static_cast<std::ptrdiff_t>(2 * incidence.start[v]);
    std::copy(from, from + static_cast<std::ptrdiff_t>(counts[v]),
              lists.neighbours.begin() + static_cast<std::ptrdiff_t>(lists.start[v]));
  });
  return lists;
}

void copy_positions(std::span<const Vec3> from, std::span<Vec3> to) {
  parallel_for_chunks(0, from.size(), 1 << 14, [&](std::size_t lo, std::size_t hi) {
    std::copy(from.begin() + static_cast<std::ptrdiff_t>(lo), from.begin() + static_cast<std::ptrdiff_t>(hi),
              to.begin() + static_cast<std::ptrdiff_t>(lo));
  });
}

// One Laplacian pass from `from` into `to`; each vertex sums its neighbours in list order.
void laplacian_pass(std::span<const Vec3> from, const NeighbourLists& neighbours, std::span<Vec3> to,
                    double factor) {
  parallel_for_each_index(0, from.size(), [&](std::size_t i) {
    const std::span<const uint32_t> list = neighbours[i];
    if (list.empty()) {
      to[i] = from[i];
      return;
    }
    Vec3 sum{0, 0, 0};
    for (uint32_t j : list) sum += from[j];
    const double count = static_cast<double>(list.size());
    const Vec3 mean{sum[0] / count, sum[1] / count, sum[2] / count};
    to[i] = from[i] + (mean - from[i]) * factor;
  });
}

// The neighbour graph's edges, each once as (i, j) with j > i, in the order of i and its list.
std::vector<EdgeKey> graph_edges(const NeighbourLists& neighbours) {
  const std::size_t n = neighbours.size();
  std::vector<std::size_t> start(n + 1, 0);
  parallel_for_each_index(0, n, [&](std::size_t i) {
    const std::span<const uint32_t> list = neighbours[i];
    start[i + 1] = static_cast<std::size_t>(std::count_if(list.begin(), list.end(), [&](uint32_t j) { return j > i; }));
  });
  for (std::size_t i = 0; i < n; ++i) start[i + 1] += start[i];
  std::vector<EdgeKey> edges(start[n]);
  parallel_for_each_index(0, n, [&](std::size_t i) {
    std::size_t e = start[i];
    for (uint32_t j : neighbours[i]) {
      if (j > i) edges[e++] = {static_cast<uint32_t>(i), j};
    }
  });
  return edges;
}

// One bilateral pass into `out`; d_spatial = 2 sigma_s^2, d_normal = 2 sigma_n^2.
void bilateral_pass(std::span<const Vec3> positions, const NeighbourLists& neighbours,
                    std::span<const Vec3> normals, double d_spatial, double d_normal, std::span<Vec3> out) {
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) {
    const Vec3& p = positions[i];
    out[i] = p;
    const std::span<const uint32_t> list = neighbours[i];
    if (list.empty()) return;
    double weight_sum = 0;
    Vec3 weighted{0, 0, 0};
    for (uint32_t j : list) {
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
  });
}

}  // namespace

NeighbourLists detail::build_neighbour_lists(std::size_t vertex_count, std::span<const Tri> triangles) {
  require_valid_indices(vertex_count, triangles);
  return neighbour_lists(triangles, build_incidence(vertex_count, triangles), vertex_count);
}

void detail::laplacian_step(std::span<Vec3> positions, const NeighbourLists& neighbours, std::span<Vec3> scratch,
                            double factor) {
  laplacian_pass(positions, neighbours, scratch, factor);
  copy_positions(scratch, positions);
}

void taubin_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations, double lambda) {
  if (positions.empty() || iterations == 0) return;
  const double mu = -lambda / (1.0 + lambda * -0.1);
  // A non-finite factor would turn every position into NaN.
  if (!std::isfinite(lambda) || !std::isfinite(mu)) return;
  const NeighbourLists neighbours = detail::build_neighbour_lists(positions.size(), triangles);
  // Each pass writes every entry of these before the next reads it.
  GridArray<Vec3> shrunk, smoothed;
  shrunk.resize(positions.size());
  smoothed.resize(positions.size());
  FoldFreeMoves moves(positions.size(), triangles);
  Progress stage = progress_start("Taubin smooth", iterations);
  for (uint64_t i = 0; i < iterations; ++i) {
    throw_if_stopped();
    progress_tick(stage, i);
    laplacian_pass(positions, neighbours, shrunk, lambda);
    laplacian_pass(shrunk, neighbours, smoothed, mu);
    // Small faces of a staircase can be pulled across their neighbours; such moves are shortened.
    moves.move(positions, smoothed, MoveGuard{});
  }
}

void bilateral_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations,
                      double sigma_n) {
  if (positions.empty() || iterations == 0) return;
  const double d_normal = sigma_n * (sigma_n + sigma_n);
  // sigma_n <= 0 (or so small that 2 sigma_n^2 is 0) makes the normal weight 0/0.
  if (!(sigma_n > 0) || !(d_normal > 0)) return;
  require_valid_indices(positions.size(), triangles);
  const Incidence incidence = build_incidence(positions.size(), triangles);
  const NeighbourLists neighbours = neighbour_lists(triangles, incidence, positions.size());
  const std::vector<EdgeKey> edges = graph_edges(neighbours);
  // Each pass writes every entry of these before reading it.
  GridArray<Vec3> scratch, normals;
  scratch.resize(positions.size());
  normals.resize(positions.size());
  FoldFreeMoves moves(positions.size(), triangles);
  Progress stage = progress_start("bilateral smooth", iterations);
  for (uint64_t i = 0; i < iterations; ++i) {
    throw_if_stopped();
    progress_tick(stage, i);
    vertex_normal_sums(positions, triangles, incidence, normals);
    normalise_vertex_normals(normals);
    const double sigma_s = mean_edge_length(positions, edges);
    const double d_spatial = sigma_s * (sigma_s + sigma_s);
    // Without a positive, finite distance scale every weight is 0/0 or inf/inf.
    if (!(d_spatial > 0) || !std::isfinite(d_spatial)) break;
    bilateral_pass(positions, neighbours, normals, d_spatial, d_normal, scratch);
    // Near sharp creases the filter can pull a vertex across its ring; such moves are shortened.
    moves.move(positions, scratch, MoveGuard{});
  }
}

}  // namespace morvane
