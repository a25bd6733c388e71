#include <gtest/gtest.h>

#include <vector>

#include "core/core_errors.hpp"
#include "core/remesh_mesh.hpp"
#include "core/remesh_turn_guard.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

RemeshMesh working(const Mesh& m) { return make_remesh_mesh(m.positions, m.indices); }

std::vector<FaceId> list(std::span<const FaceId> s) { return {s.begin(), s.end()}; }

TEST(RemeshAdjacency, EdgesComeInOrderOfFirstAppearanceWithSortedFaceLists) {
  RemeshMesh mesh = working(test::make_box({0, 0, 0}, {1, 1, 1}));
  mesh.removed[0] = 1;
  const EdgeFaceMap edges = edge_face_map(mesh);
  // Face 0 (0, 2, 1) is removed, so face 1 (1, 2, 3) comes first.
  ASSERT_EQ(edges.size(), 18u);
  EXPECT_EQ(edges.keys()[0].a, 1u);
  EXPECT_EQ(edges.keys()[0].b, 2u);
  EXPECT_EQ(edges.keys()[1].a, 2u);
  EXPECT_EQ(edges.keys()[1].b, 3u);
  EXPECT_EQ(list(edges.faces_of(2, 1)), (std::vector<FaceId>{1}));  // face 0 no longer listed
  EXPECT_EQ(list(edges.faces_of(3, 2)), (std::vector<FaceId>{1, 6}));
  EXPECT_TRUE(edges.faces_of(0, 7).empty());
  const VertexFaceMap vertices = vertex_face_map(mesh);
  EXPECT_EQ(list(vertices.faces_of(2)), (std::vector<FaceId>{1, 6, 8, 9}));
  EXPECT_TRUE(vertices.faces_of(1000).empty());
}

TEST(RemeshAdjacency, RepeatedCornerIsListedPerOccurrence) {
  RemeshMesh mesh;
  mesh.positions = {{0, 0, 0}, {1, 0, 0}};
  mesh.add_face({0, 0, 1});
  const EdgeFaceMap edges = edge_face_map(mesh);
  EXPECT_EQ(list(edges.faces_of(0, 0)), (std::vector<FaceId>{0}));
  EXPECT_EQ(list(edges.faces_of(0, 1)), (std::vector<FaceId>{0, 0}));
  EXPECT_EQ(list(vertex_face_map(mesh).faces_of(0)), (std::vector<FaceId>{0, 0}));
}

TEST(RemeshAdjacency, OneRingFollowsFirstAppearanceAndSkipsRemovedFaces) {
  RemeshMesh mesh = working(test::make_hexagon_fan());
  const VertexFaceMap vertices = vertex_face_map(mesh);
  EXPECT_EQ(vertex_neighbors(mesh, 0, vertices), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(vertex_neighbors(mesh, 2, vertices), (std::vector<uint32_t>{0, 1, 3}));
  mesh.removed[0] = 1;
  mesh.removed[1] = 1;
  EXPECT_TRUE(vertex_neighbors(mesh, 2, vertices).empty());  // only removed faces: valence 0
  EXPECT_TRUE(vertex_neighbors(mesh, 99, vertices).empty());
}

TEST(RemeshSplit, ReplacesTheFaceKeepingItsWinding) {
  for (auto [a, b] : {std::pair<uint32_t, uint32_t>{0, 1}, {1, 0}}) {
    RemeshMesh mesh;
    mesh.positions = {{0, 0, 0}, {2, 0, 0}, {0, 1, 0}};
    mesh.add_face({0, 1, 2});
    split_edge(mesh, a, b, edge_face_map(mesh));
    ASSERT_EQ(mesh.positions.size(), 4u);
    EXPECT_EQ(mesh.positions[3], (Vec3{1, 0, 0}));
    EXPECT_EQ(mesh.removed, (std::vector<uint8_t>{1, 0, 0}));
    EXPECT_EQ(mesh.faces[1], (Tri{0, 3, 2}));
    EXPECT_EQ(mesh.faces[2], (Tri{3, 1, 2}));
  }
  RemeshMesh mesh;
  mesh.positions = {{0, 0, 0}, {2, 0, 0}, {0, 1, 0}};
  mesh.add_face({1, 0, 2});
  split_edge(mesh, 0, 1, edge_face_map(mesh));
  EXPECT_EQ(mesh.faces[1], (Tri{1, 3, 2}));
  EXPECT_EQ(mesh.faces[2], (Tri{3, 0, 2}));
}

TEST(RemeshSplit, EdgeWithoutAliveFacesOnlyAddsTheMidpoint) {
  RemeshMesh mesh = working(test::make_hexagon_fan());
  const EdgeFaceMap edges = edge_face_map(mesh);
  split_edge(mesh, 1, 4, edges);  // not an edge
  mesh.removed[0] = 1;
  split_edge(mesh, 1, 2, edges);  // its only face is removed by now
  EXPECT_EQ(mesh.positions.size(), 9u);
  EXPECT_EQ(mesh.faces.size(), 6u);
  EXPECT_THROW(split_edge(mesh, 0, 100, edges), InternalError);
}

TEST(RemeshCollapse, InteriorEdgeOfFlatPatchCollapses) {
  // The hexagon around 0 and a second one around 1, on one triangular lattice.
  Mesh m = test::make_hexagon_fan();
  const double h = std::sqrt(0.75);
  m.positions.insert(m.positions.end(), {{2, 0, 0}, {1.5, h, 0}, {1.5, -h, 0}});  // 7, 8, 9
  m.indices.insert(m.indices.end(), {{1, 8, 2}, {1, 7, 8}, {1, 9, 7}, {1, 6, 9}});
  RemeshMesh mesh = working(m);
  const Vec3 p0 = mesh.positions[0], p1 = mesh.positions[1];
  TurnGuard turns(mesh, vertex_face_map(mesh));
  ASSERT_TRUE(collapse_edge(mesh, 0, 1, edge_face_map(mesh), vertex_face_map(mesh), turns));
  EXPECT_EQ(mesh.positions[0], (p0 + p1) * 0.5);
  EXPECT_EQ(mesh.positions[1], p1);
  EXPECT_EQ(mesh.removed, (std::vector<uint8_t>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0}));
  EXPECT_EQ(mesh.faces[6], (Tri{0, 8, 2}));
  EXPECT_EQ(mesh.faces[9], (Tri{0, 6, 9}));
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (!mesh.alive(f)) continue;
    for (uint32_t v : mesh.faces[f]) EXPECT_NE(v, 1u) << "face " << f;
  }
}

TEST(RemeshCollapse, RefusalsLeaveTheMeshUnchanged) {
  auto expect_refused = [](RemeshMesh mesh, uint32_t a, uint32_t b, const char* why) {
    const RemeshMesh copy = mesh;
    TurnGuard turns(mesh, vertex_face_map(mesh));
    EXPECT_FALSE(collapse_edge(mesh, a, b, edge_face_map(mesh), vertex_face_map(mesh), turns)) << why;
    EXPECT_EQ(mesh.positions, copy.positions) << why;
    EXPECT_EQ(mesh.faces, copy.faces) << why;
    EXPECT_EQ(mesh.removed, copy.removed) << why;
  };
  // One alive face on the edge.
  expect_refused(working(test::make_hexagon_fan()), 1, 2, "boundary edge");
  // Triangular bipyramid: the equator edge's end rings share three vertices.
  Mesh bipyramid;
  bipyramid.positions = {{1, 0, 0}, {-0.5, 0.87, 0}, {-0.5, -0.87, 0}, {0, 0, 1}, {0, 0, -1}};
  bipyramid.indices = {{3, 0, 1}, {3, 1, 2}, {3, 2, 0}, {4, 1, 0}, {4, 2, 1}, {4, 0, 2}};
  expect_refused(working(bipyramid), 0, 1, "three shared neighbours");
  // A surrounding face that the move to the midpoint would turn over.
  Mesh fold;
  fold.positions = {{0, 0, 0}, {1, 0, 0}, {0.5, 1, 0}, {0.5, -1, 0}, {0.8, -0.5, 0}};
  fold.indices = {{0, 1, 2}, {1, 0, 3}, {1, 2, 4}};
  expect_refused(working(fold), 0, 1, "fold-over");
  // A surrounding face whose corners the move to the midpoint would put on one line.
  Mesh flatten;
  flatten.positions = {{0, 0, 0}, {1, 0, 0}, {0.5, 1, 0}, {0.5, -1, 0}, {0.5, 2, 0}};
  flatten.indices = {{0, 1, 2}, {1, 0, 3}, {2, 1, 4}};
  expect_refused(working(flatten), 0, 1, "degenerate face");
  // A tetrahedron: collapsing any edge would flatten it into two coincident faces.
  Mesh tetra;
  tetra.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  tetra.indices = {{0, 2, 1}, {0, 1, 3}, {1, 2, 3}, {0, 3, 2}};
  for (uint32_t a = 0; a < 4; ++a) {
    for (uint32_t b = a + 1; b < 4; ++b) expect_refused(working(tetra), a, b, "tetrahedron");
  }
}

TEST(RemeshCompact, KeepsSurvivorOrderAndClearsFlags) {
  RemeshMesh mesh = working(test::make_hexagon_fan());
  mesh.positions.push_back({5, 5, 5});  // unreferenced
  mesh.removed[1] = 1;                  // (0, 2, 3)
  mesh.removed[2] = 1;                  // (0, 3, 4): vertex 3 loses its faces
  const std::vector<Vec3> old = mesh.positions;
  compact_mesh(mesh);
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{old[0], old[1], old[2], old[4], old[5], old[6]}));
  EXPECT_EQ(mesh.faces, (std::vector<Tri>{{0, 1, 2}, {0, 3, 4}, {0, 4, 5}, {0, 5, 1}}));
  EXPECT_EQ(mesh.removed, (std::vector<uint8_t>(4, 0)));

  std::fill(mesh.removed.begin(), mesh.removed.end(), uint8_t{1});
  compact_mesh(mesh);
  EXPECT_TRUE(mesh.positions.empty());
  EXPECT_TRUE(mesh.faces.empty());
  EXPECT_TRUE(mesh.removed.empty());
}

}  // namespace
}  // namespace morvane
