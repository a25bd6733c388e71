#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/seal_pinholes.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

using test::make_torus;
using test::open_or_overfull_edges;

// Directed edges used more than once: 0 when every face is oriented consistently.
std::size_t repeated_directed_edges(const std::vector<Tri>& tris) {
  std::map<std::pair<uint32_t, uint32_t>, int> uses;
  for (const Tri& t : tris) {
    for (int k = 0; k < 3; ++k) ++uses[{t[k], t[(k + 1) % 3]}];
  }
  return static_cast<std::size_t>(std::count_if(uses.begin(), uses.end(), [](auto& e) { return e.second > 1; }));
}

std::size_t overfull_edges(const std::vector<Tri>& tris) {
  std::map<std::pair<uint32_t, uint32_t>, int> uses;
  for (const Tri& t : tris) {
    for (int k = 0; k < 3; ++k) ++uses[std::minmax(t[k], t[(k + 1) % 3])];
  }
  return static_cast<std::size_t>(std::count_if(uses.begin(), uses.end(), [](auto& e) { return e.second > 2; }));
}

// Torus faces are two per quad (i, j), at 2 * (i * nv + j) and the next index.
constexpr uint32_t kNu = 40, kNv = 20;
std::size_t quad_face(uint32_t i, uint32_t j) { return 2 * (std::size_t{i} * kNv + j); }

Mesh without_faces(Mesh m, std::vector<std::size_t> faces) {
  std::sort(faces.rbegin(), faces.rend());
  for (std::size_t f : faces) m.indices.erase(m.indices.begin() + static_cast<std::ptrdiff_t>(f));
  return m;
}

TEST(SealPinholes, FillsHolesUpToTheLimitAndStaysManifold) {
  const Mesh closed = make_torus(3.0, 1.0, kNu, kNv);
  const Mesh holed = without_faces(closed, {
      quad_face(2, 2),                                                        // 3 boundary vertices
      quad_face(10, 5), quad_face(10, 5) + 1,                                 // 4
      quad_face(20, 8), quad_face(20, 8) + 1, quad_face(21, 8), quad_face(21, 8) + 1,
      quad_face(22, 8), quad_face(22, 8) + 1,                                 // 8
      quad_face(30, 12), quad_face(30, 12) + 1, quad_face(31, 12), quad_face(31, 12) + 1,
      quad_face(32, 12), quad_face(32, 12) + 1, quad_face(33, 12) + 1,        // 9
  });
  Mesh m = holed;
  EXPECT_EQ(seal_pinholes(m.indices, 8), 3u);
  EXPECT_EQ(m.indices.size(), holed.indices.size() + 1 + 2 + 6);
  EXPECT_TRUE(std::equal(holed.indices.begin(), holed.indices.end(), m.indices.begin()));
  EXPECT_EQ(open_or_overfull_edges(m), 9u);  // only the 9-vertex hole is left
  EXPECT_EQ(overfull_edges(m.indices), 0u);
  EXPECT_EQ(repeated_directed_edges(m.indices), 0u);
  EXPECT_GT(test::signed_volume(m), 0.0);

  Mesh all = holed;
  EXPECT_EQ(seal_pinholes(all.indices, 9), 4u);
  EXPECT_EQ(open_or_overfull_edges(all), 0u);
  EXPECT_EQ(repeated_directed_edges(all.indices), 0u);
}

TEST(SealPinholes, ClosedOrEmptyInputIsUntouched) {
  Mesh m = test::make_icosphere(2);
  const std::vector<Tri> before = m.indices;
  EXPECT_EQ(seal_pinholes(m.indices, 8), 0u);
  EXPECT_EQ(m.indices, before);
  std::vector<Tri> none;
  EXPECT_EQ(seal_pinholes(none, 8), 0u);
}

TEST(SealPinholes, SingleTriangleGetsItsReverse) {
  std::vector<Tri> tris{{0, 1, 2}};
  EXPECT_EQ(seal_pinholes(tris, 8), 1u);
  ASSERT_EQ(tris.size(), 2u);
  EXPECT_EQ(repeated_directed_edges(tris), 0u);  // (0, 2, 1) up to rotation
  for (int limit : {0, 1, 2}) {
    std::vector<Tri> small{{0, 1, 2}};
    EXPECT_EQ(seal_pinholes(small, limit), 0u) << limit;
  }
}

TEST(SealPinholes, LoopThroughOneVertexTwiceIsSplitIntoSimpleLoops) {
  // Two triangles touching at vertex 2: the walk from 0 passes 2 on the way out and back, and
  // each lobe of the figure eight is filled on its own.
  std::vector<Tri> tris{{2, 0, 1}, {2, 3, 4}};
  EXPECT_EQ(seal_pinholes(tris, 8), 2u);
  EXPECT_EQ(tris.size(), 4u);
  EXPECT_EQ(open_or_overfull_edges(Mesh{{}, tris}), 0u);
  EXPECT_EQ(repeated_directed_edges(tris), 0u);

  // Two holes of a torus sharing one corner: one boundary through that corner twice.
  const Mesh closed = make_torus(3.0, 1.0, kNu, kNv);
  Mesh m = without_faces(closed, {quad_face(5, 5), quad_face(5, 5) + 1, quad_face(6, 6), quad_face(6, 6) + 1});
  EXPECT_EQ(seal_pinholes(m.indices, 4), 2u);
  EXPECT_EQ(open_or_overfull_edges(m), 0u);
  EXPECT_EQ(repeated_directed_edges(m.indices), 0u);
}

TEST(SealPinholes, TwoLoopsMeetingAtTheStartAreBothFilled) {
  std::vector<Tri> tris{{0, 1, 2}, {0, 3, 4}};
  EXPECT_EQ(seal_pinholes(tris, 8), 2u);
  for (const Tri& t : tris) EXPECT_TRUE(t[0] != t[1] && t[1] != t[2] && t[0] != t[2]);
  EXPECT_EQ(overfull_edges(tris), 0u);
}

TEST(SealPinholes, ApexAvoidsADiagonalThatAlreadyHasOneFace) {
  // A square hole whose diagonal (a, c) is already the edge of one dangling triangle: a fan over
  // that diagonal would give it three faces, so the fan must use the other diagonal. The dangling
  // triangle comes first, so the square is walked (from a) before the triangle's own loop.
  Mesh m = without_faces(make_torus(3.0, 1.0, kNu, kNv), {quad_face(10, 5), quad_face(10, 5) + 1});
  const uint32_t a = 10 * kNv + 5, c = 11 * kNv + 6, b = 11 * kNv + 5, d = 10 * kNv + 6;
  m.positions.push_back({10, 10, 10});
  const auto x = static_cast<uint32_t>(m.positions.size() - 1);
  m.indices.insert(m.indices.begin(), Tri{a, x, c});
  const std::size_t before = m.indices.size();
  EXPECT_EQ(seal_pinholes(m.indices, 8), 2u);
  EXPECT_EQ(overfull_edges(m.indices), 0u);
  bool uses_other_diagonal = false;
  for (std::size_t f = before; f < m.indices.size(); ++f) {
    const Tri& t = m.indices[f];
    uses_other_diagonal |= std::count(t.begin(), t.end(), b) + std::count(t.begin(), t.end(), d) == 2;
  }
  EXPECT_TRUE(uses_other_diagonal);
}

}  // namespace
}  // namespace morvane
