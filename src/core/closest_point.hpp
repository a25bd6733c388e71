// The exact point-triangle distance query: the nearest point of a triangle to a point, by the
// Voronoi-region tests of Ericson, "Real-Time Collision Detection" (2005), section 5.1.5.
#pragma once

#include "mesh.hpp"

namespace morvane {

// The nearest point of the three edges of abc to p (ties: ab, then bc, then ca).
Vec3 closest_point_on_edges(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c);

namespace detail {

// v / s per component (kept as a division: the product is formed first, then divided).
inline Vec3 div(const Vec3& v, double s) { return {v[0] / s, v[1] / s, v[2] / s}; }

// The region tests in their fixed order; a point on a region's border takes the earlier region.
inline Vec3 closest_point_by_regions(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
  const Vec3 ab = b - a;
  const Vec3 ac = c - a;
  const Vec3 ap = p - a;
  const double d1 = dot(ab, ap);
  const double d2 = dot(ac, ap);
  if (d1 <= 0.0 && d2 <= 0.0) return a;

  const Vec3 bp = p - b;
  const double d3 = dot(ab, bp);
  const double d4 = dot(ac, bp);
  if (d3 >= 0.0 && d4 <= d3) return b;

  const double vc = d1 * d4 - d3 * d2;
  if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) return a + div(ab * d1, d1 - d3);

  const Vec3 cp = p - c;
  const double d5 = dot(ab, cp);
  const double d6 = dot(ac, cp);
  if (d6 >= 0.0 && d5 <= d6) return c;

  const double vb = d5 * d2 - d1 * d6;
  if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) return a + div(ac * d2, d2 - d6);

  const double va = d3 * d6 - d5 * d4;
  if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) {
    const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
    return b + (c - b) * w;
  }

  const double denom = 1.0 / (va + vb + vc);
  const double v = vb * denom;
  const double w = vc * denom;
  return a + ab * v + ac * w;
}
}  // namespace detail

// The point of triangle abc nearest to p. Inline: the distance field calls it for every voxel
// near every triangle.
inline Vec3 closest_point_on_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
  const Vec3 q = detail::closest_point_by_regions(p, a, b, c);
  if (is_finite(q)) return q;
  // The region tests divide by sums that vanish when corners coincide or lie on one line (0/0
  // for half of space when a == b); the nearest point of such a triangle lies on an edge.
  return closest_point_on_edges(p, a, b, c);
}

}  // namespace morvane
