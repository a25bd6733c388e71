#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/far_field.hpp"
#include "core/sdf.hpp"
#include "core/sdf_sampling.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

// 6^3 voxels of 0.5 with origin 0, holding f(centre) = wx * x + wy * y + wz * z.
SdfGrid linear_grid(double wx, double wy, double wz) {
  SdfGrid g;
  g.nx = g.ny = g.nz = 6;
  g.cell = 0.5;
  g.values.resize(216);
  for (uint64_t k = 0; k < 6; ++k)
    for (uint64_t j = 0; j < 6; ++j)
      for (uint64_t i = 0; i < 6; ++i)
        g.values[g.index(i, j, k)] =
            static_cast<float>(wx * (i + 0.5) * 0.5 + wy * (j + 0.5) * 0.5 + wz * (k + 0.5) * 0.5);
  return g;
}

TEST(SdfSampling, TrilinearReproducesALinearField) {
  const SdfGrid g = linear_grid(1, 2, 3);
  for (const Vec3& p : {Vec3{0.3, 1.1, 2.2}, Vec3{2.2, 0.25, 1.0}, Vec3{1.7, 1.9, 0.6}}) {
    EXPECT_NEAR(sample_trilinear(g, p), p[0] + 2 * p[1] + 3 * p[2], 1e-12);
  }
  const Vec3 grad = detail::sample_gradient(g, {1.2, 1.3, 1.4});
  EXPECT_NEAR(grad[0], 1.0, 1e-9);
  EXPECT_NEAR(grad[2], 3.0, 1e-9);
}

// Coordinates clamp to [first centre, second-to-last centre] = [0.25, 2.25] on every axis.
TEST(SdfSampling, ClampsToTheFirstAndSecondToLastCentres) {
  const SdfGrid g = linear_grid(1, 2, 3);
  EXPECT_NEAR(sample_trilinear(g, {-5.0, 1.0, 1.0}), 0.25 + 2 + 3, 1e-12);
  EXPECT_NEAR(sample_trilinear(g, {2.8, 1.0, 1.0}), 2.25 + 2 + 3, 1e-12);
  EXPECT_NEAR(sample_trilinear(g, {1.0, 1.0, 99.0}), 1 + 2 + 3 * 2.25, 1e-12);
  const Vec3 outside = detail::sample_gradient(g, {-3.0, 1.0, 9.0});
  EXPECT_EQ(outside[0], 0.0);
  EXPECT_EQ(outside[2], 0.0);
  EXPECT_NEAR(outside[1], 2.0, 1e-9);
  EXPECT_TRUE(std::isnan(sample_trilinear(g, {std::nan(""), 1.0, 1.0})));
}

TEST(ProjectToSdf, StepsOntoTheLevel) {
  const SdfGrid g = linear_grid(1, 0, 0);
  std::vector<Vec3> pts = {{0.6, 1.0, 1.0}, {1.9, 0.7, 1.2}};
  project_to_sdf(pts, g, 3, 1.0, 2.0);
  EXPECT_NEAR(pts[0][0], 1.0, 1e-9);
  EXPECT_NEAR(pts[1][0], 1.0, 1e-9);
  EXPECT_EQ(pts[1][1], 0.7);
}

TEST(ProjectToSdf, MovesNoFurtherThanTheLimit) {
  const SdfGrid g = linear_grid(1, 0, 0);
  std::vector<Vec3> pts = {{0.6, 1.0, 1.0}};
  project_to_sdf(pts, g, 5, 1.0, 0.1);
  EXPECT_NEAR(pts[0][0], 0.7, 1e-12);
  EXPECT_EQ(pts[0][1], 1.0);
}

TEST(ProjectToSdf, LeavesPointsWithoutASoundStep) {
  const SdfGrid g = linear_grid(1, 0, 0);
  const std::vector<Vec3> start = {{1.0 + 1e-6, 1.0, 1.0}, {0.6, 1.0, 1.0}};
  std::vector<Vec3> pts = start;
  project_to_sdf(std::span(pts).first(1), g, 4, 1.0, 1.0);  // already within cell * 1e-4
  project_to_sdf(std::span(pts).last(1), g, 0, 1.0, 1.0);   // no iterations
  project_to_sdf(std::span(pts).last(1), g, 4, 1.0, 0.0);   // no move allowed
  project_to_sdf(std::span(pts).last(1), g, 4, 1.0, std::nan(""));
  EXPECT_EQ(pts, start);

  std::vector<Vec3> flat = {{1.0, 1.0, 1.0}};
  project_to_sdf(flat, linear_grid(0, 0, 0), 4, 1.0, 1.0);
  EXPECT_EQ(flat[0], (Vec3{1.0, 1.0, 1.0}));
}

TEST(ProjectToSdf, PullsSpherePointsToTheOffsetWithinTheirLimit) {
  const Mesh sphere = test::make_icosphere(3);
  SdfGrid g = build_sdf(sphere.positions, sphere.indices, 32, 1, 2.0, 1.0);
  sdf_far_field(g, g.cell);
  std::vector<Vec3> start;
  for (int i = 0; i < 64; ++i) {
    const double u = i * 0.7, w = i * 1.3;
    const double r = 1.0 + (0.4 + (i % 5) * 0.5) * g.cell;  // outside: the field's level set lies there
    start.push_back({r * std::cos(u) * std::sin(w), r * std::sin(u) * std::sin(w), r * std::cos(w)});
  }
  std::vector<Vec3> pts = start;
  const double limit = 1.5 * g.cell;
  project_to_sdf(pts, g, 6, g.cell, limit);
  for (std::size_t i = 0; i < pts.size(); ++i) {
    EXPECT_LE(length(pts[i] - start[i]), limit * (1 + 1e-12));
    EXPECT_NEAR(length(pts[i]), 1.0 + g.cell, 0.35 * g.cell) << i;
  }
}

}  // namespace
}  // namespace morvane
