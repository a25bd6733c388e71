#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "core/remesh_mesh.hpp"
#include "core/remesh_passes.hpp"
#include "support/captured_progress.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

RemeshMesh working(const Mesh& m) { return make_remesh_mesh(m.positions, m.indices); }

// Raises the valence of `center` by `extra` (0 or at least 2) with a fan of new vertices on the
// side `away`.
void add_fan(Mesh& m, uint32_t center, uint32_t extra, Vec3 away) {
  const Vec3 side = away[2] == 0 ? Vec3{-away[1], away[0], 0} : Vec3{1, 0, 0};
  const auto first = static_cast<uint32_t>(m.positions.size());
  for (uint32_t i = 0; i < extra; ++i) {
    const double angle = (static_cast<double>(i) / extra - 0.5) * 0.5 * std::numbers::pi;
    m.positions.push_back(m.positions[center] + (away * std::cos(angle) + side * std::sin(angle)) * 0.3);
  }
  for (uint32_t i = 0; i + 1 < extra; ++i) m.indices.push_back({center, first + i, first + i + 1});
}

// The flat convex quad a = 0, b = 1, c = 2 (above), d = 3 (below) split along (a, b), faces first
// so that (a, b) is the first edge visited; fans then set the valences of a, b (3 + extra_ab)
// and c, d (2 + extra_cd).
Mesh flip_quad(uint32_t extra_ab, uint32_t extra_cd, bool reversed = false) {
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0.5, 0.8, 0}, {0.5, -0.8, 0}};
  m.indices = {{0, 1, 2}, {1, 0, 3}};
  add_fan(m, 0, extra_ab, {-1, 0, 0});
  add_fan(m, 1, extra_ab, {1, 0, 0});
  add_fan(m, 2, extra_cd, {0, 1, 0});
  add_fan(m, 3, extra_cd, {0, -1, 0});
  if (reversed) {
    for (Tri& t : m.indices) std::swap(t[1], t[2]);
  }
  return m;
}

bool has_repeated_corner(const Tri& t) { return t[0] == t[1] || t[1] == t[2] || t[2] == t[0]; }

std::size_t alive_faces_on(const RemeshMesh& mesh, uint32_t u, uint32_t v) {
  std::size_t n = 0;
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    const Tri& t = mesh.faces[f];
    const bool has_u = t[0] == u || t[1] == u || t[2] == u, has_v = t[0] == v || t[1] == v || t[2] == v;
    n += mesh.alive(f) && has_u && has_v;
  }
  return n;
}

TEST(RemeshFlips, ValenceSevenSevenFiveFiveFlipsKeepingWinding) {
  for (bool reversed : {false, true}) {
    RemeshMesh mesh = working(flip_quad(4, 3, reversed));
    const std::size_t first_new = mesh.faces.size();
    ASSERT_GE(flip_edges(mesh), 1u);
    EXPECT_FALSE(mesh.alive(0));
    EXPECT_FALSE(mesh.alive(1));
    // f1 = (0, 1, 2) runs from a to b: (d, c, a), (c, d, b); reversed it runs from b to a.
    EXPECT_EQ(mesh.faces[first_new], reversed ? (Tri{2, 3, 0}) : (Tri{3, 2, 0})) << reversed;
    EXPECT_EQ(mesh.faces[first_new + 1], reversed ? (Tri{3, 2, 1}) : (Tri{2, 3, 1})) << reversed;
  }
}

TEST(RemeshFlips, SkipsEdgesThatWouldNotImproveOrAreNotInteriorPairs) {
  RemeshMesh pair = working(flip_quad(0, 0));  // cost 14 before and after
  EXPECT_EQ(flip_edges(pair), 0u);

  Mesh three = flip_quad(4, 3);
  three.positions.push_back({0.5, 0, 1});
  three.indices.push_back({0, 1, static_cast<uint32_t>(three.positions.size() - 1)});
  RemeshMesh overfull = working(three);
  flip_edges(overfull);
  EXPECT_TRUE(overfull.alive(0) && overfull.alive(1));

  Mesh fold = flip_quad(4, 3);
  fold.positions[3] = {-0.5, 0.1, 0};  // the quad is no longer convex: a new face would turn over
  RemeshMesh folded = working(fold);
  flip_edges(folded);
  EXPECT_TRUE(folded.alive(0) && folded.alive(1));

  RemeshMesh empty;
  EXPECT_EQ(flip_edges(empty), 0u);
}

TEST(RemeshFlips, ExistingDiagonalBlocksOnlyWhileAlive) {
  // a, b of valence 8 and c, d of valence 4 counting the diagonal face (c, d, e): cost 8 -> 4.
  Mesh m = flip_quad(5, 0);
  m.positions.push_back({0.5, 0, 1});
  m.indices.push_back({2, 3, static_cast<uint32_t>(m.positions.size() - 1)});
  RemeshMesh blocked = working(m);
  flip_edges(blocked);
  EXPECT_TRUE(blocked.alive(0) && blocked.alive(1));

  RemeshMesh dead_diagonal = working(m);
  dead_diagonal.removed.back() = 1;
  flip_edges(dead_diagonal);
  EXPECT_FALSE(dead_diagonal.alive(0) || dead_diagonal.alive(1));
}

TEST(RemeshFlips, EqualApexesNeverMakeRepeatedCorners) {
  // Faces (a, b, c) and (b, a, c): flipping would give (c, c, a) and (c, c, b).
  Mesh m = flip_quad(5, 3);
  m.indices[1] = {1, 0, 2};
  RemeshMesh mesh = working(m);
  flip_edges(mesh);
  EXPECT_TRUE(mesh.alive(0) && mesh.alive(1));
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.alive(f)) EXPECT_FALSE(has_repeated_corner(mesh.faces[f])) << f;
  }
}

TEST(RemeshFlips, TwoFlipsOfOnePassNeverMakeTheSameDiagonal) {
  // Two quads share the apexes c = 2 and d = 3; both would flip to the diagonal (c, d).
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0.5, 1, 0}, {0.5, -1, 0}, {0.5, 0, 0.5}, {0.5, 0, -0.5}};
  m.indices = {{0, 1, 2}, {1, 0, 3}, {4, 5, 2}, {5, 4, 3}};
  add_fan(m, 0, 4, {-1, 0, 0});
  add_fan(m, 1, 4, {1, 0, 0});
  add_fan(m, 4, 4, {0, 0, 1});
  add_fan(m, 5, 4, {0, 0, -1});
  RemeshMesh mesh = working(m);
  flip_edges(mesh);
  EXPECT_FALSE(mesh.alive(0) || mesh.alive(1));
  EXPECT_TRUE(mesh.alive(2) && mesh.alive(3));
  EXPECT_EQ(alive_faces_on(mesh, 2, 3), 2u);
}

TEST(RemeshRelax, InteriorVerticesSlideWithinTheirPlane) {
  // A tilted hexagon fan with its centre off-centre, plus an isolated vertex.
  const Vec3 u = Vec3{1, -1, 0} * (1 / std::sqrt(2.0)), w = Vec3{1, 1, -2} * (1 / std::sqrt(6.0));
  Mesh m;
  m.positions.push_back(u * 0.3 + w * 0.1);
  for (int k = 0; k < 6; ++k) {
    const double a = k * std::numbers::pi / 3;
    m.positions.push_back(u * std::cos(a) + w * std::sin(a));
  }
  for (uint32_t k = 0; k < 6; ++k) m.indices.push_back({0, 1 + k, 1 + (k + 1) % 6});
  m.positions.push_back({5, 5, 5});

  RemeshMesh still = working(m);
  detail::tangential_relax(still, 0.0);
  EXPECT_EQ(still.positions, m.positions);

  RemeshMesh mesh = working(m);
  detail::tangential_relax(mesh, 0.5);
  for (std::size_t v = 1; v < m.positions.size(); ++v) EXPECT_EQ(mesh.positions[v], m.positions[v]) << v;
  const Vec3 move = mesh.positions[0] - m.positions[0];
  EXPECT_NEAR(length(move), 0.5 * length(m.positions[0]), 1e-12);
  EXPECT_NEAR(dot(move, cross(u, w)), 0.0, 1e-15);
}

TEST(RemeshCleanup, TrimsOverfullEdgesAndTurnedFacesAndReportsThem) {
  RemeshMesh fin;
  fin.positions = {{0, 0, 0}, {1, 0, 0}, {0.5, 1, 0}, {0.5, -1, 0}, {0.5, 0, 1}};
  for (Tri t : {Tri{0, 1, 2}, Tri{1, 0, 3}, Tri{0, 1, 4}}) fin.add_face(t);
  test::CapturedProgress progress;
  Mesh out = cleanup_bad_triangles(fin);
  EXPECT_EQ(progress.take(), "    Cleanup: removed 1 bad triangles\n");
  EXPECT_EQ(out.indices, (std::vector<Tri>{{0, 1, 2}, {1, 0, 3}}));
  EXPECT_EQ(out.positions.size(), 4u);

  Mesh sphere = test::make_icosphere(1);
  std::swap(sphere.indices[5][1], sphere.indices[5][2]);
  out = cleanup_bad_triangles(working(sphere));
  EXPECT_EQ(progress.take(), "    Cleanup: removed 1 bad triangles\n");
  EXPECT_EQ(out.indices.size(), sphere.indices.size() - 1);
  EXPECT_EQ(std::count(out.indices.begin(), out.indices.end(), sphere.indices[5]), 0);
}

TEST(RemeshCleanup, DropsDegenerateFacesSilently) {
  Mesh m = test::make_icosphere(1);
  const auto n = static_cast<uint32_t>(m.positions.size());
  m.positions.insert(m.positions.end(), {{3, 0, 0}, {4, 0, 0}, {5, 0, 0}, {4, 1e-11, 0}});
  m.indices.push_back({n, n, n + 1});          // repeated corner
  m.indices.push_back({n, n + 2, n + 3});      // sliver: |cross|^2 = 4e-22, longest edge 2
  test::CapturedProgress progress;
  Mesh out = cleanup_bad_triangles(working(m));
  EXPECT_EQ(progress.take(), "");
  EXPECT_EQ(out.indices.size(), 80u);
  EXPECT_EQ(out.positions.size(), 42u);

  RemeshMesh empty;
  out = cleanup_bad_triangles(empty);
  EXPECT_EQ(progress.take(), "");
  EXPECT_TRUE(out.positions.empty() && out.indices.empty());
}

TEST(RemeshCleanup, DegenerateTestDoesNotDependOnTheUnitOfLength) {
  // A sphere of radius 10 micrometres in metres: edges ~5e-6, |cross|^2 ~ 1e-22. A fixed area
  // threshold of 1e-20 would delete every face.
  Mesh tiny = test::make_icosphere(2, 1e-5);
  Mesh out = cleanup_bad_triangles(working(tiny));
  EXPECT_EQ(out.indices.size(), tiny.indices.size());
  for (double scale : {1e-6, 1.0, 1e6}) {
    EXPECT_TRUE(is_degenerate_triangle({0, 0, 0}, Vec3{1, 0, 0} * scale, Vec3{0.5, 1e-11, 0} * scale)) << scale;
    EXPECT_FALSE(is_degenerate_triangle({0, 0, 0}, Vec3{1, 0, 0} * scale, Vec3{0.5, 1e-9, 0} * scale)) << scale;
  }
}

}  // namespace
}  // namespace morvane
