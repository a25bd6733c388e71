#include "sdf_sampling.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numeric.hpp"
#include "parallel.hpp"

namespace morvane {
namespace {

// Lower sample index and blend weight along one axis of n voxels.
struct AxisSample {
  uint64_t i0 = 0, i1 = 0;
  double t = 0.0;
};

AxisSample axis_sample(double p, double origin, double cell, uint64_t n) {
  double u = (p - origin) / cell - 0.5;
  const double last = static_cast<double>(n) - 2.0;
  if (u < 0.0) u = 0.0;
  if (u > last) u = last;
  const double fi = std::floor(u);
  AxisSample s;
  s.t = u - fi;
  // A grid of one voxel along an axis has no second centre: both samples are that voxel.
  const uint64_t top = n >= 2 ? n - 2 : 0;
  s.i0 = std::min(saturating_cast<uint64_t>(fi), top);
  s.i1 = std::min(s.i0 + 1, n - 1);
  return s;
}

double lerp_weights(double a, double b, double t) { return a * (1.0 - t) + b * t; }

}  // namespace

double sample_trilinear(const SdfGrid& grid, const Vec3& p) {
  if (grid.values.empty()) return std::numeric_limits<double>::quiet_NaN();
  const AxisSample sx = axis_sample(p[0], grid.origin[0], grid.cell, grid.nx);
  const AxisSample sy = axis_sample(p[1], grid.origin[1], grid.cell, grid.ny);
  const AxisSample sz = axis_sample(p[2], grid.origin[2], grid.cell, grid.nz);
  auto v = [&](uint64_t i, uint64_t j, uint64_t k) { return static_cast<double>(grid.values[grid.index(i, j, k)]); };
  const double c00 = lerp_weights(v(sx.i0, sy.i0, sz.i0), v(sx.i1, sy.i0, sz.i0), sx.t);
  const double c10 = lerp_weights(v(sx.i0, sy.i1, sz.i0), v(sx.i1, sy.i1, sz.i0), sx.t);
  const double c01 = lerp_weights(v(sx.i0, sy.i0, sz.i1), v(sx.i1, sy.i0, sz.i1), sx.t);
  const double c11 = lerp_weights(v(sx.i0, sy.i1, sz.i1), v(sx.i1, sy.i1, sz.i1), sx.t);
  const double c0 = lerp_weights(c00, c10, sy.t);
  const double c1 = lerp_weights(c01, c11, sy.t);
  return lerp_weights(c0, c1, sz.t);
}

Vec3 detail::sample_gradient(const SdfGrid& grid, const Vec3& p) {
  const double h = grid.cell * 0.5;
  Vec3 g;
  for (int a = 0; a < 3; ++a) {
    Vec3 plus = p, minus = p;
    plus[a] = p[a] + h;
    minus[a] = p[a] - h;
    const double fp = sample_trilinear(grid, plus);
    const double fm = sample_trilinear(grid, minus);
    g[a] = (fp - fm) / (h + h);
  }
  return g;
}

void project_to_sdf(std::span<Vec3> points, const SdfGrid& grid, uint64_t iterations, double level, double max_move) {
  // A NaN limit allows no move at all, like a limit of 0.
  if (points.empty() || iterations == 0 || !(max_move > 0.0) || grid.values.empty()) return;
  const double tolerance = grid.cell * 1e-4;
  const double max_move_sq = max_move * max_move;
  parallel_for_each_index(0, points.size(), [&](std::size_t index) {
    const Vec3 p0 = points[index];
    Vec3 p = p0;
    for (uint64_t it = 0; it < iterations; ++it) {
      const double d = sample_trilinear(grid, p);
      // An undefined field value (no surface in the grid) gives no direction to walk.
      if (!std::isfinite(d)) break;
      const double e = std::fabs(d - level);
      if (e < tolerance) break;
      const Vec3 g = detail::sample_gradient(grid, p);
      const double g_len = length(g);
      if (!(g_len >= 1e-6) || !std::isfinite(g_len)) break;
      const double step = std::min(grid.cell, e);
      const double sign = d < level ? 1.0 : -1.0;
      p = p + g * (step * sign / g_len);
      const Vec3 moved = p - p0;
      const double moved_sq = length_squared(moved);
      if (moved_sq > max_move_sq) {
        p = p0 + moved * (max_move / std::sqrt(moved_sq));
        break;
      }
    }
    points[index] = p;
  }, 256);
}

}  // namespace morvane
