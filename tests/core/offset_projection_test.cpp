#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/core_errors.hpp"
#include "core/offset_projection.hpp"
#include "core/sdf.hpp"

namespace morvane {
namespace {

// One large triangle in the z = 0 plane with its grid (cell 0.25, band 2 cells).
class OffsetProjection : public ::testing::Test {
 protected:
  std::vector<Vec3> positions = {{0, 0, 0}, {4, 0, 0}, {0, 4, 0}};
  std::vector<Tri> triangles = {{0, 1, 2}};
  SdfGrid grid = build_sdf(positions, triangles, 16, 1, 2.0, 1.0);

  Vec3 project_one(Vec3 p, double level, double max_move) {
    std::vector<Vec3> v = {p};
    project_to_offset_surface(v, grid, positions, triangles, level, max_move);
    return v[0];
  }
};

TEST_F(OffsetProjection, PlacesVerticesAtTheLevelOnEitherSide) {
  const Vec3 above = project_one({1, 1, 0.05}, 0.1, 1.0);
  EXPECT_NEAR(above[2], 0.1, 1e-15);
  EXPECT_EQ(above[0], 1.0);
  const Vec3 below = project_one({1, 1, -0.2}, 0.1, 1.0);  // unsigned distance: level below it too
  EXPECT_NEAR(below[2], -0.1, 1e-15);
  const Vec3 corner = project_one({-0.3, -0.4, 0}, 0.25, 1.0);  // nearest point is the corner
  EXPECT_NEAR(corner[0], -0.15, 1e-15);
  EXPECT_NEAR(corner[1], -0.2, 1e-15);
}

TEST_F(OffsetProjection, MovesExactlyTheLimitTowardAFarTarget) {
  const Vec3 p = project_one({1, 1, 0.4}, 0.1, 0.05);
  EXPECT_NEAR(p[2], 0.35, 1e-15);
  EXPECT_EQ(p[1], 1.0);
}

TEST_F(OffsetProjection, LeavesVerticesWithoutAUsableCandidate) {
  EXPECT_EQ(project_one({1, 1, 0}, 0.1, 1.0), (Vec3{1, 1, 0}));          // on the surface
  EXPECT_EQ(project_one({1, 1, 1.5}, 0.1, 1.0), (Vec3{1, 1, 1.5}));      // beyond the band
  EXPECT_EQ(project_one({1, 1, 0.05}, 0.1, 0.0), (Vec3{1, 1, 0.05}));    // no move allowed
  EXPECT_EQ(project_one({1, 1, 0.05}, 0.1, -1.0), (Vec3{1, 1, 0.05}));
  const Vec3 nan_vertex = project_one({std::nan(""), 1, 0.05}, 0.1, 1.0);
  EXPECT_TRUE(std::isnan(nan_vertex[0]));
  EXPECT_EQ(nan_vertex[2], 0.05);
}

TEST_F(OffsetProjection, RefusesAMeshTheGridWasNotBuiltFrom) {
  std::vector<Vec3> v = {{1, 1, 0.05}};
  EXPECT_THROW(project_to_offset_surface(v, grid, positions, {}, 0.1, 1.0), InternalError);
  std::vector<Vec3> too_few = {{0, 0, 0}};
  EXPECT_THROW(project_to_offset_surface(v, grid, too_few, triangles, 0.1, 1.0), InternalError);
}

}  // namespace
}  // namespace morvane
