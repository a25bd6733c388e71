#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <vector>


#include "core/closest_point.hpp"
#include "core/far_field.hpp"
#include "core/grid.hpp"
#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "core/sdf.hpp"
#include "core/sdf_sign.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

Vec3 centre(const SdfGrid& g, uint64_t i, uint64_t j, uint64_t k) {
  return {g.origin[0] + (static_cast<double>(i) + 0.5) * g.cell, g.origin[1] + (static_cast<double>(j) + 0.5) * g.cell,
          g.origin[2] + (static_cast<double>(k) + 0.5) * g.cell};
}

SdfGrid build(const Mesh& m, uint64_t res, uint64_t close, double band = 2.0, double level = 1.0) {
  return build_sdf(m.positions, m.indices, res, close, band, level);
}

// A bumpy sphere with a few slivers and a near-degenerate triangle: every triangle orientation.
Mesh bumpy_mesh() {
  Mesh m = test::make_icosphere(2, 1.0);
  for (std::size_t v = 0; v < m.positions.size(); ++v) {
    m.positions[v] = m.positions[v] * (1.0 + 0.15 * std::sin(3.0 * static_cast<double>(v)));
  }
  const auto base = static_cast<uint32_t>(m.positions.size());
  m.positions.insert(m.positions.end(), {{-0.9, -0.9, 0.2}, {0.9, 0.8, 0.2}, {0.9, 0.8000001, 0.2000001}});
  m.indices.push_back({base, base + 1, base + 2});
  return m;
}

// A flat square of small coplanar triangles, then the same triangles again in reverse order with
// their corners rotated: every voxel has ties at equal distances, and the triangles that lose
// them come first and last in the list.
Mesh tied_mesh() {
  Mesh m;
  const uint32_t n = 9;
  for (uint32_t j = 0; j <= n; ++j)
    for (uint32_t i = 0; i <= n; ++i) m.positions.push_back({i / double(n), j / double(n), 0.5 * (i % 2) / n});
  for (uint32_t j = 0; j < n; ++j)
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = j * (n + 1) + i;
      m.indices.insert(m.indices.end(), {Tri{a, a + 1, a + n + 2}, Tri{a, a + n + 2, a + n + 1}});
    }
  for (std::size_t t = m.indices.size(); t-- > 0;) {
    m.indices.push_back({m.indices[t][1], m.indices[t][2], m.indices[t][0]});
  }
  return m;
}

// The band with its skipped triangles against every triangle at every voxel.
void expect_brute_force_band(const Mesh& m, uint64_t res, double band, int workers) {
  SdfGrid g;
  with_worker_count(workers, [&] { g = build(m, res, 1, band); });
  const double bw = g.band_cells * g.cell;
  for (uint64_t k = 0; k < g.nz; ++k) {
    for (uint64_t j = 0; j < g.ny; ++j) {
      for (uint64_t i = 0; i < g.nx; ++i) {
        const Vec3 p = centre(g, i, j, k);
        uint32_t want_bits = kInfiniteDistanceBits, want_tri = kNoTriangle;
        double nearest = std::numeric_limits<double>::infinity();
        for (uint32_t t = 0; t < m.indices.size(); ++t) {
          const Tri& f = m.indices[t];
          const Vec3 q = closest_point_on_triangle(p, m.positions[f[0]], m.positions[f[1]], m.positions[f[2]]);
          const double d = length(p - q);
          nearest = std::fmin(nearest, d);
          if (d > bw) continue;
          const uint32_t bits = std::bit_cast<uint32_t>(static_cast<float>(d));
          if (bits < want_bits) want_bits = bits, want_tri = t;
        }
        const std::size_t idx = g.index(i, j, k);
        ASSERT_EQ(g.band_dist[idx], want_bits) << i << " " << j << " " << k;
        ASSERT_EQ(g.nearest_tri[idx], want_tri) << i << " " << j << " " << k;
        if (nearest <= g.half_diag) ASSERT_EQ(g.state[idx], Shell);
        ASSERT_NE(g.state[idx], Empty);
      }
    }
  }
}

TEST(SdfBand, MatchesBruteForceOverEveryVoxel) {
  for (int workers : {1, 8}) {
    expect_brute_force_band(bumpy_mesh(), 20, 2.5, workers);
    expect_brute_force_band(tied_mesh(), 24, 2.0, workers);
  }
}

TEST(SdfBand, SingleTriangleDistancesAreExact) {
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.indices = {{0, 1, 2}};
  const SdfGrid g = build(m, 16, 0, 3.0);
  int checked = 0;
  for (uint64_t k = 0; k < g.nz; ++k) {
    const Vec3 p = centre(g, 4 + 5, 3 + 5, k);  // above the triangle's interior (pad is 5)
    const float d = std::bit_cast<float>(g.band_dist[g.index(9, 8, k)]);
    if (std::fabs(p[2]) <= 3.0 * g.cell) {
      EXPECT_EQ(d, static_cast<float>(std::fabs(p[2])));
      ++checked;
    } else {
      EXPECT_TRUE(std::isinf(d));
    }
  }
  EXPECT_EQ(checked, 6);
}

TEST(SdfBand, EqualDistancesKeepTheLowerTriangleIndex) {
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.indices = {{0, 1, 2}, {0, 1, 2}, {0, 1, 2}};
  with_worker_count(8, [&] {
    const SdfGrid g = build(m, 24, 1);
    for (std::size_t i = 0; i < g.nearest_tri.size(); ++i) {
      ASSERT_TRUE(g.nearest_tri[i] == 0 || g.nearest_tri[i] == kNoTriangle);
    }
  });
}

TEST(SdfBand, NonFiniteCornersAreLeftOut) {
  const Mesh clean = test::make_icosphere(1);
  Mesh dirty = clean;
  dirty.positions.push_back({std::nan(""), 0, 0});
  dirty.positions.push_back({1e300 * 1e300, 5, 5});
  const auto n = static_cast<uint32_t>(clean.positions.size());
  dirty.indices.push_back({0, 1, n});
  dirty.indices.push_back({n + 1, 2, 3});
  const SdfGrid a = build(clean, 16, 1), b = build(dirty, 16, 1);
  EXPECT_EQ(a.origin, b.origin);
  EXPECT_EQ(a.cell, b.cell);
  EXPECT_EQ(a.band_dist, b.band_dist);
  EXPECT_EQ(a.nearest_tri, b.nearest_tri);
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.values, b.values);
}

// A level within the band's reach: build_sdf computes the band's values itself.
TEST(SdfBand, MeshWithoutTrianglesIsAllOutside) {
  const SdfGrid g = build_sdf({}, {}, 32, 1, 2.0, 0.5);
  const float bw = static_cast<float>(g.band_cells * g.cell);
  for (std::size_t i = 0; i < g.state.size(); ++i) {
    ASSERT_EQ(g.state[i], Outside);
    ASSERT_EQ(g.values[i], bw);
    ASSERT_EQ(g.nearest_tri[i], kNoTriangle);
  }
}

// Box [0, 1]^3 at 16 cells, close 1: deep voxels are Inside and negative, far ones Outside at the band width.
TEST(SdfSign, ClosedBoxHasInsideAndOutside) {
  const SdfGrid g = build(test::make_box({0, 0, 0}, {1, 1, 1}), 16, 1, 2.0, 0.5);
  const float bw = static_cast<float>(g.band_cells * g.cell), hd = static_cast<float>(g.half_diag);
  for (uint64_t k = 0; k < g.nz; ++k) {
    for (uint64_t j = 0; j < g.ny; ++j) {
      for (uint64_t i = 0; i < g.nx; ++i) {
        const Vec3 p = centre(g, i, j, k);
        double inside_depth = 1e9, outside_gap = 0;
        for (int a = 0; a < 3; ++a) {
          inside_depth = std::fmin(inside_depth, std::fmin(p[a], 1 - p[a]));
          outside_gap = std::fmax(outside_gap, std::fmax(-p[a], p[a] - 1));
        }
        const std::size_t idx = g.index(i, j, k);
        // The dilated layer inside the surface stays Shell: Inside begins one cell deeper.
        if (inside_depth > g.half_diag + 1.01 * g.cell) {
          ASSERT_EQ(g.state[idx], Inside);
          ASSERT_LT(g.values[idx], hd);
          if (inside_depth > 2 * g.half_diag) ASSERT_LT(g.values[idx], 0.0f);
        } else if (outside_gap > g.band_cells * g.cell) {
          ASSERT_EQ(g.state[idx], Outside);
          ASSERT_EQ(g.values[idx], bw);
        }
      }
    }
  }
}

// Box [0, 1]^3 without its top face, covered instead by two strips that leave a slot `slot_cells`
// wide (at 32 cells per unit) along y through the middle.
Mesh slotted_box(double slot_cells) {
  Mesh m = test::make_box({0, 0, 0}, {1, 1, 1});
  m.indices.erase(m.indices.begin() + 2, m.indices.begin() + 4);  // the two z = 1 triangles
  const double s0 = 0.5 - slot_cells / 64.0, s1 = 0.5 + slot_cells / 64.0;
  for (auto [x0, x1] : {std::pair{0.0, s0}, std::pair{s1, 1.0}}) {
    const auto b = static_cast<uint32_t>(m.positions.size());
    m.positions.insert(m.positions.end(), {{x0, 0, 1}, {x1, 0, 1}, {x1, 1, 1}, {x0, 1, 1}});
    m.indices.push_back({b, b + 1, b + 2});
    m.indices.push_back({b, b + 2, b + 3});
  }
  return m;
}

uint8_t centre_state(const SdfGrid& g) {
  const uint64_t i = static_cast<uint64_t>((0.5 - g.origin[0]) / g.cell);
  const uint64_t j = static_cast<uint64_t>((0.5 - g.origin[1]) / g.cell);
  const uint64_t k = static_cast<uint64_t>((0.5 - g.origin[2]) / g.cell);
  return g.state[g.index(i, j, k)];
}

TEST(SdfSign, NarrowGapIsSealedByClose) {
  const SdfGrid g = build(slotted_box(3), 32, 1);
  EXPECT_EQ(centre_state(g), Inside);
  // Voxels within half a diagonal of a triangle are never eroded.
  for (std::size_t i = 0; i < g.state.size(); ++i) {
    if (std::bit_cast<float>(g.band_dist[i]) <= static_cast<float>(g.half_diag)) ASSERT_EQ(g.state[i], Shell);
  }
}

TEST(SdfSign, WideGapOrNoCloseLetsTheExteriorIn) {
  EXPECT_EQ(centre_state(build(slotted_box(7), 32, 1)), Outside);
  EXPECT_EQ(centre_state(build(slotted_box(3), 32, 0)), Outside);
  EXPECT_EQ(centre_state(build(slotted_box(7), 32, 3)), Inside);
}

// The padding must keep the extraction level inside the grid: every border voxel lies beyond it.
TEST(SdfPadding, GridHoldsTheOffsetLevel) {
  const Mesh m = test::make_icosphere(2);
  for (auto [level, band] : {std::pair{2.0, 2.6}, std::pair{10.0, 4.0}}) {
    SdfGrid g = build(m, 16, 1, band, level);
    sdf_far_field(g, level * g.cell);
    for (uint64_t k = 0; k < g.nz; ++k) {
      for (uint64_t j = 0; j < g.ny; ++j) {
        for (uint64_t i = 0; i < g.nx; ++i) {
          if (i != 0 && j != 0 && k != 0 && i + 1 != g.nx && j + 1 != g.ny && k + 1 != g.nz) continue;
          ASSERT_GT(g.values[g.index(i, j, k)], level * g.cell) << "level " << level;
        }
      }
    }
  }
}

TEST(SdfPadding, SettingsBeyondTheLargestGridAreRefused) {
  const Mesh m = test::make_box({0, 0, 0}, {1, 1, 1});
  try {
    build(m, 8, 509);
    FAIL() << "close 509 was accepted";
  } catch (const SettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("largest close that fits is 507"), std::string::npos) << e.what();
  }
  try {
    build(m, 8, 1, 4.0, 600.0);
    FAIL() << "offset 600 was accepted";
  } catch (const SettingsError& e) {
    EXPECT_NE(std::string(e.what()).find("largest offset that fits is 506"), std::string::npos) << e.what();
  }
  EXPECT_THROW(build(m, 8, UINT64_MAX), SettingsError);
  EXPECT_THROW(build(m, 8, 1, 1e300, 1.0), SettingsError);
}

// The sign step written the plain way: `close` full dilation passes, a breadth-first fill from
// voxel 0, Empty to Inside, `close` full erosion passes.
GridArray<uint8_t> reference_sign(const SdfGrid& g, uint64_t close) {
  GridArray<uint8_t> s = g.state;
  const int64_t nx = g.nx, ny = g.ny, nz = g.nz;
  auto each_neighbour = [&](int64_t i, auto&& f) {
    const int64_t x = i % nx, y = (i / nx) % ny, z = i / (nx * ny);
    if (x > 0) f(i - 1);
    if (x + 1 < nx) f(i + 1);
    if (y > 0) f(i - nx);
    if (y + 1 < ny) f(i + nx);
    if (z > 0) f(i - nx * ny);
    if (z + 1 < nz) f(i + nx * ny);
  };
  for (uint64_t pass = 0; pass < close; ++pass) {
    GridArray<uint8_t> next = s;
    for (int64_t i = 0; i < static_cast<int64_t>(s.size()); ++i) {
      if (s[i] == Empty) each_neighbour(i, [&](int64_t n) { if (s[n] == Shell) next[i] = Shell; });
    }
    s = next;
  }
  if (s[0] == Empty) {
    std::vector<int64_t> queue{0};
    s[0] = Outside;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      each_neighbour(queue[head], [&](int64_t n) {
        if (s[n] == Empty) s[n] = Outside, queue.push_back(n);
      });
    }
  }
  for (uint8_t& v : s) v = v == Empty ? Inside : v;
  for (uint64_t pass = 0; pass < close; ++pass) {
    GridArray<uint8_t> next = s;
    for (int64_t i = 0; i < static_cast<int64_t>(s.size()); ++i) {
      if ((s[i] == Shell || s[i] == Inside) && std::bit_cast<float>(g.band_dist[i]) > static_cast<float>(g.half_diag)) {
        each_neighbour(i, [&](int64_t n) { if (s[n] == Outside) next[i] = Outside; });
      }
    }
    s = next;
  }
  return s;
}

// Scattered shell voxels make many small pockets, narrow passages and runs for the fill.
TEST(SdfSign, MatchesThePlainPassesAndBreadthFirstFill) {
  for (uint64_t close : {0, 1, 2, 5}) {
    for (bool corner_shell : {false, true}) {
      SdfGrid g;
      g.nx = 19, g.ny = 14, g.nz = 11;
      g.half_diag = 0.5;
      const std::size_t n = g.nx * g.ny * g.nz;
      g.state.assign(n, Empty);
      g.band_dist.assign(n, kInfiniteDistanceBits);
      uint64_t seed = 12345 + close;
      for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        if ((seed >> 33) % 100 < 18) {
          g.state[i] = Shell;
          g.band_dist[i] = std::bit_cast<uint32_t>(0.25f);
        } else if ((seed >> 40) % 4 == 0) {
          g.band_dist[i] = std::bit_cast<uint32_t>(0.5f);  // exactly half a diagonal: not erodible
        }
      }
      g.state[0] = corner_shell ? Shell : Empty;
      const GridArray<uint8_t> want = reference_sign(g, close);
      sdf_sign(g, close);
      EXPECT_EQ(g.state, want) << "close " << close << " corner shell " << corner_shell;
    }
  }
}

TEST(SdfThreads, OneAndEightWorkersGiveTheSameGrid) {
  const Mesh m = test::merge(test::make_torus(1.0, 0.3, 48, 24), bumpy_mesh());
  SdfGrid one, eight;
  with_worker_count(1, [&] { one = build(m, 40, 2, 2.0, 3.0); });
  with_worker_count(8, [&] { eight = build(m, 40, 2, 2.0, 3.0); });
  EXPECT_EQ(one.band_dist, eight.band_dist);
  EXPECT_EQ(one.nearest_tri, eight.nearest_tri);
  EXPECT_EQ(one.state, eight.state);
  with_worker_count(1, [&] { sdf_far_field(one, 3.0 * one.cell); });
  with_worker_count(8, [&] { sdf_far_field(eight, 3.0 * eight.cell); });
  EXPECT_EQ(one.values, eight.values);
}

}  // namespace
}  // namespace morvane
