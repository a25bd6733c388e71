#include "closest_point.hpp"

#include <cmath>

namespace morvane {
namespace {

// Nearest point of segment ab to p; a zero-length segment gives a.
Vec3 closest_point_on_segment(const Vec3& p, const Vec3& a, const Vec3& b) {
  const Vec3 ab = b - a;
  const double len_sq = dot(ab, ab);
  double t = len_sq > 0.0 ? dot(p - a, ab) / len_sq : 0.0;
  t = std::fmin(std::fmax(t, 0.0), 1.0);
  return a + ab * t;
}

}  // namespace

Vec3 closest_point_on_edges(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
  Vec3 best = closest_point_on_segment(p, a, b);
  double best_sq = length_squared(p - best);
  for (const Vec3& q : {closest_point_on_segment(p, b, c), closest_point_on_segment(p, c, a)}) {
    const double sq = length_squared(p - q);
    if (sq < best_sq) {
      best = q;
      best_sq = sq;
    }
  }
  return best;
}

}  // namespace morvane
