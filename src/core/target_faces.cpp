// From a wanted face count to a grid resolution and a remesh edge length.
#include <algorithm>
#include <cmath>

#include "bounds.hpp"
#include "common/numeric.hpp"
#include "proxy.hpp"
#include "run_context.hpp"

namespace morvane {

constexpr uint64_t kCoarsest = 32;

std::pair<uint64_t, double> resolution_for_target_faces(std::span<const Vec3> positions, std::span<const Tri> faces,
                                                        uint32_t target_faces) {
  const Vec3 e = finite_bounds(positions).extent();
  const double extent = std::max({e[0], e[1], e[2]});

  // Faces with a non-finite area (or an index that names no vertex) would make every length NaN.
  double area = 0.0;
  StopPoll poll;
  for (const Tri& f : faces) {
    poll.tick();
    if (f[0] >= positions.size() || f[1] >= positions.size() || f[2] >= positions.size()) continue;
    const Vec3& a = positions[f[0]];
    const double face_area = 0.5 * length(cross(positions[f[1]] - a, positions[f[2]] - a));
    if (std::isfinite(face_area)) area += face_area;
  }

  // An input without extent (no vertex, or all at one point) is sized as one unit, as its grid is.
  const double span = extent > 0.0 ? extent : 1.0;
  // Faces without area (no faces, all corners on a line or at one point) give the count nothing to
  // measure: their proxy is a thin shell whatever the count, so the coarsest grid makes it, with
  // edges of two cells.
  if (!(area > 0.0)) return {kCoarsest, 2.0 * span / static_cast<double>(kCoarsest)};

  const double t = static_cast<double>(std::max<uint32_t>(target_faces, 16));
  // Side of an equilateral triangle of area `area / t`. Its floor is the finest grid this
  // function ever chooses (512 cells across the extent), so a huge target never asks remeshing
  // for billions of faces.
  double edge = std::sqrt(4.0 * area / (t * std::sqrt(3.0)));
  edge = std::fmax(edge, span / 512.0);

  const uint64_t res = saturating_cast<uint64_t>(std::ceil(2.0 * span / edge));
  return {std::clamp<uint64_t>(res, kCoarsest, 512), edge};
}

}  // namespace morvane
