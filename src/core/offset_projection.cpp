#include "offset_projection.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "closest_point.hpp"
#include "core_errors.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"

namespace morvane {
namespace {

constexpr double kOnSurface = 1e-12;  // in cells

// Voxel whose centre is nearest to coordinate p along one axis, clamped into the grid.
int64_t nearest_voxel(double p, double origin, double cell, uint64_t n) {
  const double u = (p - origin) / cell - 0.5;
  return std::clamp<int64_t>(saturating_cast<int64_t>(std::round(u)), 0, static_cast<int64_t>(n) - 1);
}

struct Nearest {
  Vec3 point{};
  double dist_sq = std::numeric_limits<double>::infinity();  // stays infinite without a candidate
};

Nearest nearest_candidate(const Vec3& p, const SdfGrid& grid, std::span<const Vec3> positions,
                          std::span<const Tri> triangles) {
  const int64_t ci = nearest_voxel(p[0], grid.origin[0], grid.cell, grid.nx);
  const int64_t cj = nearest_voxel(p[1], grid.origin[1], grid.cell, grid.ny);
  const int64_t ck = nearest_voxel(p[2], grid.origin[2], grid.cell, grid.nz);
  std::array<uint32_t, 27> seen;
  std::size_t seen_count = 0;
  Nearest best;
  for (int64_t dz = -1; dz <= 1; ++dz) {
    for (int64_t dy = -1; dy <= 1; ++dy) {
      for (int64_t dx = -1; dx <= 1; ++dx) {
        const int64_t i = ci + dx, j = cj + dy, k = ck + dz;
        if (i < 0 || j < 0 || k < 0 || i >= static_cast<int64_t>(grid.nx) || j >= static_cast<int64_t>(grid.ny) ||
            k >= static_cast<int64_t>(grid.nz)) {
          continue;
        }
        const uint32_t t = grid.nearest_tri[grid.index(static_cast<uint64_t>(i), static_cast<uint64_t>(j),
                                                       static_cast<uint64_t>(k))];
        if (t == kNoTriangle) continue;
        if (std::find(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(seen_count), t) !=
            seen.begin() + static_cast<std::ptrdiff_t>(seen_count)) {
          continue;
        }
        seen[seen_count++] = t;
        if (t >= triangles.size()) {
          throw InternalError(fmt::format("nearest triangle {} is not in the input mesh ({} triangles)", t,
                                          triangles.size()));
        }
        const Tri& tri = triangles[t];
        for (uint32_t v : tri) {
          if (v >= positions.size()) {
            throw InternalError(fmt::format("invalid index {} in face {} (vertex count: {})", v, t, positions.size()));
          }
        }
        const Vec3 q = closest_point_on_triangle(p, positions[tri[0]], positions[tri[1]], positions[tri[2]]);
        const double sq = length_squared(p - q);
        if (sq < best.dist_sq) {  // among equal distances the first one found stays
          best.point = q;
          best.dist_sq = sq;
        }
      }
    }
  }
  return best;
}

}  // namespace

void project_to_offset_surface(std::span<Vec3> vertices, const SdfGrid& grid, std::span<const Vec3> input_positions,
                               std::span<const Tri> input_triangles, double level, double max_move) {
  // A NaN limit allows no move, like a limit of 0.
  if (vertices.empty() || !(max_move > 0.0) || grid.nearest_tri.empty()) return;
  const double max_move_sq = max_move * max_move;
  // Nearer than this a vertex lies on the input and has no direction to move in.
  const double on_surface = kOnSurface * grid.cell;
  parallel_for_each_index(0, vertices.size(), [&](std::size_t index) {
    Vec3& p = vertices[index];
    const Nearest best = nearest_candidate(p, grid, input_positions, input_triangles);
    if (!std::isfinite(best.dist_sq)) return;
    const double dist = std::sqrt(best.dist_sq);
    if (dist < on_surface) return;
    const Vec3& q = best.point;
    Vec3 target;
    for (int a = 0; a < 3; ++a) target[a] = q[a] + (p[a] - q[a]) / dist * level;
    const Vec3 disp = target - p;
    const double disp_sq = length_squared(disp);
    if (disp_sq <= max_move_sq) {
      p = target;
    } else {
      p = p + disp * (max_move / std::sqrt(disp_sq));
    }
  }, 256);
}

}  // namespace morvane
