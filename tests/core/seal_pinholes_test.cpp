#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "core/hole_fill.hpp"
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
  EXPECT_EQ(seal_pinholes(m.positions, m.indices, 8).filled, 3u);
  EXPECT_EQ(m.indices.size(), holed.indices.size() + 1 + 2 + 6);
  EXPECT_TRUE(std::equal(holed.indices.begin(), holed.indices.end(), m.indices.begin()));
  EXPECT_EQ(open_or_overfull_edges(m), 9u);  // only the 9-vertex hole is left
  EXPECT_EQ(overfull_edges(m.indices), 0u);
  EXPECT_EQ(repeated_directed_edges(m.indices), 0u);
  EXPECT_GT(test::signed_volume(m), 0.0);

  Mesh all = holed;
  EXPECT_EQ(seal_pinholes(all.positions, all.indices, 9).filled, 4u);
  EXPECT_EQ(open_or_overfull_edges(all), 0u);
  EXPECT_EQ(repeated_directed_edges(all.indices), 0u);
}

TEST(SealPinholes, ClosedOrEmptyInputIsUntouched) {
  Mesh m = test::make_icosphere(2);
  const std::vector<Tri> before = m.indices;
  EXPECT_EQ(seal_pinholes(m.positions, m.indices, 8).filled, 0u);
  EXPECT_EQ(m.indices, before);
  std::vector<Tri> none;
  EXPECT_EQ(seal_pinholes(m.positions, none, 8).filled, 0u);
}

// A lone triangle's only fill is the triangle reversed: a two-sided fin, every face of which is
// turned against its neighbour. Such loops stay open and are counted.
TEST(SealPinholes, LoneTrianglesAreNotDoubledIntoFins) {
  const std::vector<Vec3> positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0}};
  for (const std::vector<Tri>& lone : {std::vector<Tri>{{0, 1, 2}},
                                       std::vector<Tri>{{2, 0, 1}, {2, 3, 4}},  // a figure eight through 2
                                       std::vector<Tri>{{0, 1, 2}, {0, 3, 4}}}) {
    std::vector<Tri> tris = lone;
    const SealCount count = seal_pinholes(positions, tris, 8);
    EXPECT_EQ(count.filled, 0u);
    EXPECT_EQ(count.left_open, lone.size());
    EXPECT_EQ(tris, lone);
  }
  for (int limit : {0, 1, 2}) {
    std::vector<Tri> small{{0, 1, 2}};
    EXPECT_EQ(seal_pinholes(positions, small, limit).left_open, 0u) << limit;
  }
}

TEST(SealPinholes, LoopThroughOneVertexTwiceIsSplitIntoSimpleLoops) {
  // Two holes of a torus sharing one corner: one boundary through that corner twice, and each
  // lobe of the figure eight is filled on its own.
  const Mesh closed = make_torus(3.0, 1.0, kNu, kNv);
  Mesh m = without_faces(closed, {quad_face(5, 5), quad_face(5, 5) + 1, quad_face(6, 6), quad_face(6, 6) + 1});
  EXPECT_EQ(seal_pinholes(m.positions, m.indices, 4).filled, 2u);
  EXPECT_EQ(open_or_overfull_edges(m), 0u);
  EXPECT_EQ(repeated_directed_edges(m.indices), 0u);
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
  const SealCount count = seal_pinholes(m.positions, m.indices, 8);
  EXPECT_EQ(count.filled, 1u);
  EXPECT_EQ(count.left_open, 1u);  // the dangling triangle, which only a fin would close
  EXPECT_EQ(overfull_edges(m.indices), 0u);
  bool uses_other_diagonal = false;
  for (std::size_t f = before; f < m.indices.size(); ++f) {
    const Tri& t = m.indices[f];
    uses_other_diagonal |= std::count(t.begin(), t.end(), b) + std::count(t.begin(), t.end(), d) == 2;
  }
  EXPECT_TRUE(uses_other_diagonal);
}

// The sealing walk written plainly with ordered containers, to compare with the fast version:
// boundary edges linked from each vertex to its predecessors (a stack in triangle order, each with
// its rim triangle), walks from the smallest start vertex up, split where they pass a vertex twice,
// and each loop closed by fill_hole as the fast version does.
SealCount reference_seal(std::span<const Vec3> positions, std::vector<Tri>& tris, uint64_t max_hole) {
  SealCount count;
  if (tris.empty() || max_hole < 3) return count;
  std::map<std::pair<uint32_t, uint32_t>, int> uses;
  for (const Tri& t : tris) {
    for (int e = 0; e < 3; ++e) ++uses[std::minmax(t[e], t[(e + 1) % 3])];
  }
  struct Step {
    uint32_t from;
    std::size_t rim;
  };
  std::map<uint32_t, std::vector<Step>> preds;
  for (std::size_t t = 0; t < tris.size(); ++t) {
    for (int e = 0; e < 3; ++e) {
      const uint32_t from = tris[t][e], to = tris[t][(e + 1) % 3];
      if (uses[std::minmax(from, to)] == 1) preds[to].push_back({from, t});
    }
  }
  const std::function<bool(EdgeKey)> is_edge = [&](EdgeKey k) { return uses.count({k.a, k.b}) > 0; };
  auto fill = [&](const std::vector<uint32_t>& loop, const std::vector<std::size_t>& rims) {
    const std::size_t n = loop.size();
    if (n < 3 || n > max_hole) return;
    std::vector<Vec3> rim_normals;
    for (std::size_t r : rims) rim_normals.push_back(face_normal(positions, tris[r]));
    std::vector<Tri> added;
    if (!fill_hole(positions, HoleLoop{loop, rim_normals}, is_edge, added)) {
      ++count.left_open;
      return;
    }
    for (const Tri& t : added) {
      tris.push_back(t);
      for (int e = 0; e < 3; ++e) ++uses[std::minmax(t[e], t[(e + 1) % 3])];
    }
    ++count.filled;
  };
  auto pop = [&](uint32_t v, Step& step) {
    std::vector<Step>& stack = preds[v];
    if (stack.empty()) return false;
    step = stack.back();
    stack.pop_back();
    return true;
  };
  for (auto& [s, unused] : preds) {
    for (Step step; pop(s, step);) {
      std::vector<uint32_t> path{s};
      std::vector<std::size_t> reached_by{0};  // the rim triangle of the side into each path vertex
      for (;;) {
        const uint32_t current = step.from;
        if (!preds.count(current)) break;
        const auto at = static_cast<std::size_t>(std::find(path.begin(), path.end(), current) - path.begin());
        if (at == path.size()) {
          path.push_back(current);
          reached_by.push_back(step.rim);
        } else {
          std::vector<std::size_t> rims(reached_by.begin() + static_cast<std::ptrdiff_t>(at) + 1, reached_by.end());
          rims.push_back(step.rim);
          fill(std::vector<uint32_t>(path.begin() + static_cast<std::ptrdiff_t>(at), path.end()), rims);
          path.resize(at + 1);
          reached_by.resize(at + 1);
          if (current == s) break;
        }
        if (!pop(current, step)) break;
      }
    }
  }
  return count;
}

TEST(SealPinholes, MatchesThePlainRulesOnAwkwardInputs) {
  std::mt19937 random(7);
  struct Input {
    const char* name;
    std::vector<Vec3> positions;
    std::vector<Tri> tris;
  };
  std::vector<Input> inputs;
  const Mesh torus = make_torus(3.0, 1.0, kNu, kNv);
  for (double dropped : {0.02, 0.08, 0.25, 0.6}) {
    // Many holes: small ones, neighbours that share a corner or an edge, and some too large.
    std::vector<Tri> holed;
    for (const Tri& t : torus.indices) {
      if (std::uniform_real_distribution<double>(0, 1)(random) >= dropped) holed.push_back(t);
    }
    inputs.push_back({"holed torus", torus.positions, holed});
    // Dangling triangles over hole diagonals and stray faces give conflicts and overfull edges.
    std::vector<Tri> tangled = holed;
    std::uniform_int_distribution<uint32_t> vertex(0, kNu * kNv - 1);
    for (int i = 0; i < 60; ++i) {
      const uint32_t a = vertex(random);
      tangled.insert(tangled.begin() + static_cast<std::ptrdiff_t>(random() % tangled.size()),
                     Tri{a, (a + 1 + kNv) % (kNu * kNv), vertex(random)});
    }
    inputs.push_back({"tangled torus", torus.positions, tangled});
  }
  // A soup over few vertices: loops through one vertex many times, repeated corners, every case.
  for (uint32_t vertices : {5u, 8u, 12u, 20u, 30u, 60u}) {
    std::vector<Vec3> positions;
    std::uniform_real_distribution<double> coordinate(-1, 1);
    for (uint32_t v = 0; v < vertices; ++v) {
      positions.push_back({coordinate(random), coordinate(random), coordinate(random)});
    }
    std::vector<Tri> soup;
    std::uniform_int_distribution<uint32_t> vertex(0, vertices - 1);
    for (uint32_t i = 0; i < vertices; ++i) soup.push_back({vertex(random), vertex(random), vertex(random)});
    inputs.push_back({"soup", positions, soup});
  }
  for (const Input& input : inputs) {
    for (uint64_t max_hole : {0u, 3u, 4u, 5u, 8u, 9u, 100u}) {
      std::vector<Tri> fast = input.tris, plain = input.tris;
      const SealCount got = seal_pinholes(input.positions, fast, max_hole);
      const SealCount want = reference_seal(input.positions, plain, max_hole);
      EXPECT_EQ(got.filled, want.filled) << input.name << " " << max_hole;
      EXPECT_EQ(got.left_open, want.left_open) << input.name << " " << max_hole;
      EXPECT_EQ(fast, plain) << input.name << " " << max_hole;
    }
  }
}

// Fills of a loop given directly: its vertices, their positions and the normals of the rim faces.
std::vector<Tri> filled(const std::vector<Vec3>& positions, const std::vector<uint32_t>& loop,
                        const std::vector<Vec3>& rim_normals, bool expect_fill = true) {
  std::vector<Tri> out;
  EXPECT_EQ(fill_hole(positions, HoleLoop{loop, rim_normals}, [](EdgeKey) { return false; }, out), expect_fill);
  return out;
}

TEST(HoleFill, ConcaveLoopIsClosedInsideIt) {
  // An arrowhead a, b, c, d with d reflex: the first fan, from a, would lay the face (a, c, d)
  // outside the loop, turned against everything around it; the other diagonal keeps both inside.
  const std::vector<Vec3> p = {{0, 0, 0}, {1, 2, 0}, {2, 0, 0}, {1, 0.5, 0}};
  const Vec3 down{0, 0, -1};
  const std::vector<Tri> out = filled(p, {0, 1, 2, 3}, {down, down, down, down});
  ASSERT_EQ(out.size(), 2u);
  for (const Tri& t : out) {
    EXPECT_FALSE(std::count(t.begin(), t.end(), 0u) && std::count(t.begin(), t.end(), 2u));
    EXPECT_LT(face_normal(p, t)[2], 0.0);
  }
}

TEST(HoleFill, NoFaceTurnedAgainstItsRimOrFlat) {
  // The hole of a face removed as turned over: refilling it would bring the fold back.
  const std::vector<Vec3> p = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {2, 0, 0}};
  const Vec3 down{0, 0, -1};
  EXPECT_TRUE(filled(p, {0, 1, 2}, {down, down, down}, false).empty());
  EXPECT_EQ(filled(p, {0, 1, 2}, {down, down, Vec3{0, 0, 1}}).size(), 1u);  // agrees with one rim face
  EXPECT_TRUE(filled(p, {0, 1, 3}, {down, down, down}, false).empty());    // collinear: flat
}

}  // namespace
}  // namespace morvane
