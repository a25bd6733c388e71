// Shrink-fit over the nearest-point index, in two parallel passes (displacements, then moves)
// so the result does not depend on scheduling.
#include "shrink_fit.hpp"

#include <cmath>
#include <vector>

#include "parallel.hpp"

namespace morvane {

Vec3 shrink_fit_vertex_body(const PointGrid& grid, double max_d, double max_d_squared, const Vec3& p) {
  const std::optional<uint32_t> q = point_grid_nearest(grid, p);
  if (!q) return {0, 0, 0};
  const Vec3 d = grid.points[*q] - p;
  const double l2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
  if (l2 <= max_d_squared) return d;
  return d * (max_d / std::sqrt(l2));
}

void shrink_fit(std::span<Vec3> positions, std::span<const Vec3> input_positions, double max_d) {
  if (input_positions.empty() || positions.empty() || !(max_d > 0)) return;
  const PointGrid grid = build_point_grid(input_positions);
  const double max_d_squared = max_d * max_d;
  std::vector<Vec3> displacement(positions.size());
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) {
    displacement[i] = shrink_fit_vertex_body(grid, max_d, max_d_squared, positions[i]);
  }, 256);
  parallel_for_each_index(0, positions.size(), [&](std::size_t i) { positions[i] += displacement[i]; });
}

}  // namespace morvane
