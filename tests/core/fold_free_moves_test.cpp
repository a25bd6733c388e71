#include <gtest/gtest.h>

#include <cmath>

#include "core/fold_free_moves.hpp"
#include "core/parallel.hpp"
#include "support/mesh_checks.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

TEST(FoldFreeMoves, MovesThatWouldFoldAreShortenedAndTheRestLandExactly) {
  Mesh m = test::make_hexagon_fan();
  std::vector<Vec3> targets = m.positions;
  targets[0] = {2, 0, 0};            // beyond the ring: its faces on that side would turn over
  targets[4] = {-1.1, 0.05, 1e-3};   // a harmless move
  EXPECT_EQ(move_without_folds(m.positions, m.indices, targets, MoveGuard{}), 1u);
  EXPECT_EQ(m.positions[0], (Vec3{0.5, 0, 0}));  // a quarter of the way: a half would sit on vertex 1
  EXPECT_EQ(m.positions[4], targets[4]);
  for (const Tri& t : m.indices) EXPECT_GT(face_normal(m.positions[t[0]], m.positions[t[1]], m.positions[t[2]])[2], 0);
}

TEST(FoldFreeMoves, SqueezedFacesAndCoincidentVerticesAreHeldBack) {
  // Squeezing the top face of the hexagon to a sliver: allowed by default, held back with a limit.
  Mesh m = test::make_hexagon_fan();
  std::vector<Vec3> targets = m.positions;
  targets[0] = {0.0, 0.86, 0};
  Mesh free_move = m;
  EXPECT_EQ(move_without_folds(free_move.positions, free_move.indices, targets, MoveGuard{}), 0u);
  EXPECT_EQ(move_without_folds(m.positions, m.indices, targets, MoveGuard{0.1, false}), 1u);
  EXPECT_NE(m.positions[0], targets[0]);

  // Two separate triangles whose tips head for one point: one lands, the other stops short.
  Mesh pair;
  pair.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {5, 0, 0}, {6, 0, 0}, {5, 1, 0}};
  pair.indices = {{0, 1, 2}, {3, 4, 5}};
  targets = pair.positions;
  targets[2] = {2, 2, 0};
  targets[5] = {2, 2, 0};
  Mesh together = pair;
  EXPECT_EQ(move_without_folds(together.positions, together.indices, targets, MoveGuard{}), 0u);
  EXPECT_EQ(move_without_folds(pair.positions, pair.indices, targets, MoveGuard{0, true}), 1u);
  EXPECT_EQ(pair.positions[2], (Vec3{2, 2, 0}));
  EXPECT_EQ(pair.positions[5], (Vec3{3.5, 1.5, 0}));
}

TEST(FoldFreeMoves, FacesThatFailedBeforeDoNotHoldMovesBack) {
  // A face with three collinear corners stays degenerate whatever its corners do.
  Mesh line;
  line.positions = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  line.indices = {{0, 1, 2}};
  std::vector<Vec3> targets = line.positions;
  targets[2] = {3, 0, 0};
  EXPECT_EQ(move_without_folds(line.positions, line.indices, targets, MoveGuard{0.5, true}), 0u);
  EXPECT_EQ(line.positions[2], targets[2]);
}

TEST(FoldFreeMoves, NoFaceTurnsOverAndWorkerCountsAgree) {
  // Random-looking moves of half an edge fold many faces of a sphere if taken whole.
  const Mesh sphere = test::make_icosphere(4);
  std::vector<Vec3> targets = sphere.positions;
  for (std::size_t v = 0; v < targets.size(); ++v) {
    const double s = static_cast<double>(v);
    targets[v] = targets[v] + Vec3{std::sin(s * 12.9898), std::sin(s * 78.233), std::sin(s * 37.719)} * 0.03;
  }
  Mesh whole = sphere;
  whole.positions = targets;
  ASSERT_GT(test::check_promise(whole).turned_over_faces, 0u);

  Mesh one = sphere, eight = sphere;
  uint64_t held_one = 0, held_eight = 0;
  with_worker_count(1, [&] { held_one = move_without_folds(one.positions, one.indices, targets, MoveGuard{}); });
  with_worker_count(8, [&] { held_eight = move_without_folds(eight.positions, eight.indices, targets, MoveGuard{}); });
  EXPECT_EQ(one.positions, eight.positions);
  EXPECT_EQ(held_one, held_eight);
  EXPECT_GT(held_one, 0u);
  EXPECT_LT(held_one, sphere.positions.size() / 2);
  EXPECT_TRUE(test::check_promise(one).holds());
  for (std::size_t f = 0; f < sphere.indices.size(); ++f) {
    const Tri& t = sphere.indices[f];
    const Vec3 before = face_normal(sphere.positions[t[0]], sphere.positions[t[1]], sphere.positions[t[2]]);
    const Vec3 after = face_normal(one.positions[t[0]], one.positions[t[1]], one.positions[t[2]]);
    EXPECT_GT(dot(before, after), 0) << f;
  }
}

}  // namespace
}  // namespace morvane
