// Shrink-fit over the nearest-point index: nearest input vertices in parallel, the claim of each
// input vertex in vertex order, then the moves in parallel, so the result does not depend on
// scheduling.
#include "shrink_fit.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "parallel.hpp"

namespace morvane {
namespace {

// The displacement of one proxy vertex at p toward point q, at most max_d long (q itself when
// within max_d).
Vec3 shrink_fit_vertex_body(const Vec3& q, double max_d, double max_d_squared, const Vec3& p) {
  const Vec3 d = q - p;
  const double l2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  if (l2 <= max_d_squared) return d;
  return d * (max_d / std::sqrt(l2));
}

}  // namespace

void shrink_fit(std::span<Vec3> positions, std::span<const Vec3> input_positions, double max_d) {
  if (input_positions.empty() || positions.empty() || !(max_d > 0)) return;
  const PointGrid grid = build_point_grid(input_positions);
  const double max_d_squared = max_d * max_d;

  std::vector<std::optional<uint32_t>> nearest(positions.size());
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) {
    nearest[i] = point_grid_nearest(grid, positions[i]);
  }, 256);

  // The proxy vertex nearest to each input vertex; ascending order keeps the lower index on ties.
  constexpr uint32_t kUnclaimed = 0xFFFFFFFF;
  std::vector<uint32_t> claimant(input_positions.size(), kUnclaimed);
  std::vector<double> claim_distance(input_positions.size(), std::numeric_limits<double>::infinity());
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (!nearest[i]) continue;
    const double l2 = length_squared(grid.points[*nearest[i]] - positions[i]);
    if (claimant[*nearest[i]] == kUnclaimed || l2 < claim_distance[*nearest[i]]) {
      claimant[*nearest[i]] = static_cast<uint32_t>(i);
      claim_distance[*nearest[i]] = l2;
    }
  }

  std::vector<Vec3> displacement(positions.size());
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) {
    if (!nearest[i]) {
      displacement[i] = {0, 0, 0};
      return;
    }
    const Vec3& q = grid.points[*nearest[i]];
    if (claimant[*nearest[i]] == i) {
      displacement[i] = shrink_fit_vertex_body(q, max_d, max_d_squared, positions[i]);
    } else {
      // Halfway to q: never onto the point the claimant takes.
      displacement[i] = shrink_fit_vertex_body((positions[i] + q) * 0.5, max_d, max_d_squared, positions[i]);
    }
  }, 256);
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) { positions[i] += displacement[i]; });
}

}  // namespace morvane
