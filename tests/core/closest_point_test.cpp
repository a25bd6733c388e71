#include <gtest/gtest.h>

#include <cmath>

#include "core/closest_point.hpp"

namespace morvane {
namespace {

void expect_near_vec(const Vec3& got, const Vec3& want, double tol = 1e-12) {
  for (int a = 0; a < 3; ++a) EXPECT_NEAR(got[a], want[a], tol) << "axis " << a;
}

// Right triangle in the z = 0 plane with corners at the origin, (2, 0, 0) and (0, 2, 0).
const Vec3 kA{0, 0, 0}, kB{2, 0, 0}, kC{0, 2, 0};

TEST(ClosestPointOnTriangle, EachVoronoiRegion) {
  expect_near_vec(closest_point_on_triangle({-1, -1, 3}, kA, kB, kC), kA);
  expect_near_vec(closest_point_on_triangle({3, -1, 1}, kA, kB, kC), kB);
  expect_near_vec(closest_point_on_triangle({-1, 3, -2}, kA, kB, kC), kC);
  expect_near_vec(closest_point_on_triangle({1, -5, 1}, kA, kB, kC), {1, 0, 0});   // edge ab
  expect_near_vec(closest_point_on_triangle({-4, 1, 0}, kA, kB, kC), {0, 1, 0});   // edge ac
  expect_near_vec(closest_point_on_triangle({2, 2, 7}, kA, kB, kC), {1, 1, 0});    // edge bc
  expect_near_vec(closest_point_on_triangle({0.5, 0.5, -3}, kA, kB, kC), {0.5, 0.5, 0});  // face
}

TEST(ClosestPointOnTriangle, PointOnTheTriangleIsItself) {
  const Vec3 p{0.25, 1.5, 0};
  expect_near_vec(closest_point_on_triangle(p, kA, kB, kC), p, 0);
}

// With a == b the region formulas divide 0 by 0 for half of space; the edges still answer.
TEST(ClosestPointOnTriangle, CoincidentFirstCornersGiveTheSegment) {
  const Vec3 a{0, 0, 0}, c{4, 0, 0};
  for (double x : {-2.0, 0.0, 1.0, 3.5, 6.0}) {
    for (double y : {-1.0, 0.0, 2.0}) {
      const Vec3 q = closest_point_on_triangle({x, y, 1}, a, a, c);
      ASSERT_TRUE(is_finite(q)) << x << " " << y;
      expect_near_vec(q, {std::fmin(std::fmax(x, 0.0), 4.0), 0, 0});
    }
  }
}

TEST(ClosestPointOnTriangle, CollinearAndPointTriangles) {
  const Vec3 q = closest_point_on_triangle({1, 3, 0}, {0, 0, 0}, {1, 0, 0}, {2, 0, 0});
  ASSERT_TRUE(is_finite(q));
  expect_near_vec(q, {1, 0, 0});
  const Vec3 point{5, 5, 5};
  expect_near_vec(closest_point_on_triangle({0, 0, 0}, point, point, point), point, 0);
}

}  // namespace
}  // namespace morvane
