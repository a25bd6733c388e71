#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>

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

// The sealing rules written plainly with ordered containers, to compare with the fast version:
// boundary edges linked from each vertex to its predecessors (a stack in triangle order), walks
// from the smallest start vertex up, split where they pass a vertex twice, and a fan from the first
// loop vertex whose diagonals are not edges yet.
uint64_t reference_seal(std::vector<Tri>& tris, uint64_t max_hole) {
  if (tris.empty() || max_hole < 3) return 0;
  std::map<std::pair<uint32_t, uint32_t>, int> uses;
  for (const Tri& t : tris) {
    for (int e = 0; e < 3; ++e) ++uses[std::minmax(t[e], t[(e + 1) % 3])];
  }
  std::map<uint32_t, std::vector<uint32_t>> preds;
  for (const Tri& t : tris) {
    for (int e = 0; e < 3; ++e) {
      if (uses[std::minmax(t[e], t[(e + 1) % 3])] == 1) preds[t[(e + 1) % 3]].push_back(t[e]);
    }
  }
  uint64_t filled = 0;
  auto fill = [&](const std::vector<uint32_t>& loop) {
    const std::size_t n = loop.size();
    if (n < 3 || n > max_hole) return;
    std::size_t apex = 0;
    for (; apex < n; ++apex) {
      bool free = true;
      for (std::size_t k = 2; k + 2 <= n; ++k) {
        free = free && !uses.count(std::minmax(loop[apex], loop[(apex + k) % n]));
      }
      if (free) break;
    }
    if (apex == n) return;
    for (std::size_t j = 1; j + 1 < n; ++j) {
      const Tri fan{loop[apex], loop[(apex + j) % n], loop[(apex + j + 1) % n]};
      tris.push_back(fan);
      for (int e = 0; e < 3; ++e) ++uses[std::minmax(fan[e], fan[(e + 1) % 3])];
    }
    ++filled;
  };
  auto pop = [&](uint32_t v, uint32_t& pred) {
    std::vector<uint32_t>& stack = preds[v];
    if (stack.empty()) return false;
    pred = stack.back();
    stack.pop_back();
    return true;
  };
  for (auto& [s, unused] : preds) {
    for (uint32_t current; pop(s, current);) {
      std::vector<uint32_t> path{s};
      for (;;) {
        if (!preds.count(current)) break;
        const auto at = std::find(path.begin(), path.end(), current);
        if (at == path.end()) {
          path.push_back(current);
        } else {
          fill(std::vector<uint32_t>(at, path.end()));
          path.erase(at + 1, path.end());
          if (current == s) break;
        }
        if (!pop(current, current)) break;
      }
    }
  }
  return filled;
}

TEST(SealPinholes, MatchesThePlainRulesOnAwkwardInputs) {
  std::mt19937 random(7);
  std::vector<std::pair<const char*, std::vector<Tri>>> inputs;
  const Mesh torus = make_torus(3.0, 1.0, kNu, kNv);
  for (double dropped : {0.02, 0.08, 0.25, 0.6}) {
    // Many holes: small ones, neighbours that share a corner or an edge, and some too large.
    std::vector<Tri> holed;
    for (const Tri& t : torus.indices) {
      if (std::uniform_real_distribution<double>(0, 1)(random) >= dropped) holed.push_back(t);
    }
    inputs.emplace_back("holed torus", holed);
    // Dangling triangles over hole diagonals and stray faces give conflicts and overfull edges.
    std::vector<Tri> tangled = holed;
    std::uniform_int_distribution<uint32_t> vertex(0, kNu * kNv - 1);
    for (int i = 0; i < 60; ++i) {
      const uint32_t a = vertex(random);
      tangled.insert(tangled.begin() + static_cast<std::ptrdiff_t>(random() % tangled.size()),
                     Tri{a, (a + 1 + kNv) % (kNu * kNv), vertex(random)});
    }
    inputs.emplace_back("tangled torus", tangled);
  }
  // A soup over few vertices: loops through one vertex many times, repeated corners, every case.
  for (uint32_t vertices : {5u, 8u, 12u, 20u, 30u, 60u}) {
    std::vector<Tri> soup;
    std::uniform_int_distribution<uint32_t> vertex(0, vertices - 1);
    for (uint32_t i = 0; i < vertices; ++i) soup.push_back({vertex(random), vertex(random), vertex(random)});
    inputs.emplace_back("soup", soup);
  }
  // The same shapes with vertex ids spread over the whole 32-bit range.
  for (std::size_t i = 0, n = inputs.size(); i < n; ++i) {
    std::vector<Tri> spread = inputs[i].second;
    for (Tri& t : spread) {
      for (uint32_t& v : t) v = v * 0x9E3779B1u + 0xFFFF0000u;
    }
    inputs.emplace_back("spread ids", spread);
  }
  for (const auto& [name, tris] : inputs) {
    for (uint64_t max_hole : {0u, 3u, 4u, 5u, 8u, 9u, 100u}) {
      std::vector<Tri> fast = tris, plain = tris;
      EXPECT_EQ(seal_pinholes(fast, max_hole), reference_seal(plain, max_hole)) << name << " " << max_hole;
      EXPECT_EQ(fast, plain) << name << " " << max_hole;
    }
  }
}

}  // namespace
}  // namespace morvane
