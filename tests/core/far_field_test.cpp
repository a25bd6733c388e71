#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/closest_point.hpp"
#include "core/far_field.hpp"
#include "core/grid.hpp"
#include "core/parallel.hpp"
#include "core/sdf.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

std::vector<double> edt(const std::vector<double>& f) {
  std::vector<double> out(f.size(), -1.0);
  detail::edt_1d(f.data(), out.data(), f.size());
  return out;
}

TEST(Edt1d, SingleFiniteSampleGivesOneParabola) {
  const std::vector<double> out = edt({kInf, kNaN, 2.5, kInf, kInf});
  EXPECT_EQ(out, (std::vector<double>{6.5, 3.5, 2.5, 3.5, 6.5}));
}

TEST(Edt1d, LengthOneCopiesWhateverItHolds) {
  EXPECT_EQ(edt({kInf})[0], kInf);
  EXPECT_EQ(edt({3.0})[0], 3.0);
  EXPECT_TRUE(std::isnan(edt({kNaN})[0]));
  EXPECT_TRUE(edt({}).empty());
}

TEST(Edt1d, NoFiniteSampleGivesInfinity) {
  for (double v : edt({kInf, kNaN, -kInf})) EXPECT_EQ(v, kInf);
}

TEST(Edt1d, EqualSamplesMeetMidway) {
  EXPECT_EQ(edt({1, kInf, kInf, kInf, 1}), (std::vector<double>{1, 2, 5, 2, 1}));
}

// The lower envelope written plainly: parabola positions v, boundaries z, each meeting point
// computed from the samples themselves. The fast transforms must give its bits.
std::vector<double> plain_edt(const std::vector<double>& f) {
  const std::size_t n = f.size();
  if (n <= 1) return f.empty() ? std::vector<double>{} : std::vector<double>{f[0]};
  std::vector<std::size_t> v(n);
  std::vector<double> z(n + 1);
  std::size_t q0 = 0;
  while (q0 < n && !std::isfinite(f[q0])) ++q0;
  if (q0 == n) return std::vector<double>(n, kInf);
  std::size_t k = 0;
  v[0] = q0;
  z[0] = -kInf;
  z[1] = kInf;
  for (std::size_t q = q0 + 1; q < n; ++q) {
    if (!std::isfinite(f[q])) continue;
    const double qd = static_cast<double>(q);
    auto meet = [&](std::size_t j) {
      const double p = static_cast<double>(v[j]);
      return ((f[q] + qd * qd) - (f[v[j]] + p * p)) / (2.0 * qd - 2.0 * p);
    };
    double s = meet(k);
    while (s <= z[k] && k > 0) s = meet(--k);
    if (s <= z[k]) {
      v[0] = q;
    } else {
      v[++k] = q;
      z[k] = s;
      z[k + 1] = kInf;
    }
  }
  std::vector<double> out(n);
  k = 0;
  for (std::size_t q = 0; q < n; ++q) {
    while (z[k + 1] < static_cast<double>(q)) ++k;
    const double d = static_cast<double>(q) - static_cast<double>(v[k]);
    out[q] = d * d + f[v[k]];
  }
  return out;
}

// Dense and sparse lines, smooth and jagged, with NaN, infinities, values so large that their
// meeting points overflow, and meeting points a rounding away from whole positions: every
// parabola and every tie as the plain envelope has them.
TEST(Edt1d, MatchesThePlainEnvelopeBitForBit) {
  uint64_t seed = 11;
  auto next = [&] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return seed >> 33;
  };
  const double specials[] = {kInf, -kInf, kNaN, 0.0, 1e308, -1e308, 1.7e308, 5e-324, 0.25};
  for (int line = 0; line < 20000; ++line) {
    std::vector<double> f(next() % 70);
    const uint64_t style = next() % 5;
    for (std::size_t i = 0; i < f.size(); ++i) {
      const uint64_t r = next() % 1000;
      if (style == 0 && r < 100) {
        f[i] = specials[next() % std::size(specials)];
      } else if (style == 1 && r < 600) {
        f[i] = kInf;  // sparse, like the rows of the x pass
      } else if (style == 2) {
        const double d = static_cast<double>(next() % 40) + static_cast<double>(next() % 1000) * 1e-3;
        f[i] = d * d;  // squared distances, like the y and z passes
      } else if (style == 3) {
        f[i] = static_cast<double>(next() % 40) * 0.1;  // meeting points that round next to whole positions
      } else {
        f[i] = static_cast<double>(next() % 5000) * 0.01;
      }
    }
    const std::vector<double> want = plain_edt(f), got = edt(f);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t q = 0; q < f.size(); ++q) {
      ASSERT_EQ(std::bit_cast<uint64_t>(got[q]), std::bit_cast<uint64_t>(want[q])) << "line " << line << " q " << q;
    }
  }
}

TEST(Edt1d, MatchesBruteForceOnIrregularSamples) {
  std::vector<double> f(40);
  for (std::size_t i = 0; i < f.size(); ++i) {
    f[i] = (i % 7 == 3) ? kInf : (i % 11 == 5 ? kNaN : std::fmod(static_cast<double>(i * i) * 0.37, 9.0));
  }
  const std::vector<double> out = edt(f);
  for (std::size_t q = 0; q < f.size(); ++q) {
    double best = kInf;
    for (std::size_t p = 0; p < f.size(); ++p) {
      if (!std::isfinite(f[p])) continue;
      const double d = static_cast<double>(q) - static_cast<double>(p);
      best = std::fmin(best, d * d + f[p]);
    }
    EXPECT_DOUBLE_EQ(out[q], best) << q;
  }
}

// The far field written the plain way: a list of squared distances as large as the grid, one
// one-dimensional transform per line along x, then y, then z, then the sign rule.
std::vector<float> plain_far_field(const SdfGrid& g) {
  const uint64_t nx = g.nx, ny = g.ny, nz = g.nz;
  std::vector<double> d(nx * ny * nz);
  const double inv = 1.0 / g.cell;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double b = std::bit_cast<float>(g.band_dist[i]);
    d[i] = std::isfinite(b) ? (b * inv) * (b * inv) : kInf;
  }
  auto lines = [&](uint64_t count, uint64_t n, auto first, uint64_t stride) {
    std::vector<double> line(n);
    for (uint64_t l = 0; l < count; ++l) {
      for (uint64_t e = 0; e < n; ++e) line[e] = d[first(l) + e * stride];
      const std::vector<double> out = plain_edt(line);
      for (uint64_t e = 0; e < n; ++e) d[first(l) + e * stride] = out[e];
    }
  };
  lines(ny * nz, nx, [&](uint64_t l) { return l * nx; }, 1);
  lines(nx * nz, ny, [&](uint64_t l) { return l % nx + (l / nx) * nx * ny; }, nx);
  lines(nx * ny, nz, [&](uint64_t l) { return l; }, nx * ny);
  std::vector<float> values(d.size());
  const float cell = static_cast<float>(g.cell), hd = static_cast<float>(g.half_diag);
  for (std::size_t i = 0; i < d.size(); ++i) {
    const float a = cell * static_cast<float>(std::sqrt(std::fmax(d[i], 0.0)));
    values[i] = g.state[i] == Shell ? std::min(a, hd) : g.state[i] == Inside ? (hd + hd) - a : a;
  }
  return values;
}

// Scattered band voxels in grids with an axis of one voxel, and slabs, rows and columns without
// any: the slab passes, the rebuilt values and the z pass must give the plain transform's bits.
TEST(SdfFarFieldGrids, MatchThePlainThreePassTransformBitForBit) {
  const uint64_t shapes[][3] = {{17, 11, 8}, {13, 1, 9}, {1, 7, 5}, {6, 5, 1}, {23, 2, 19}};
  uint64_t seed = 7;
  for (const auto& shape : shapes) {
    for (int density : {2, 30}) {
      SdfGrid g;
      g.nx = shape[0], g.ny = shape[1], g.nz = shape[2];
      g.cell = 0.37;
      g.band_cells = 1.0;
      g.half_diag = g.cell * 0.5 * 1.7320508075688772;
      const std::size_t n = g.nx * g.ny * g.nz;
      g.band_dist.assign(n, kInfiniteDistanceBits);
      g.nearest_tri.assign(n, kNoTriangle);
      g.state.resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        g.state[i] = static_cast<uint8_t>(1 + (seed >> 61) % 3);
        if (g.nz > 2 && i / (g.nx * g.ny) == g.nz / 2) continue;  // a slab without band voxels
        if ((seed >> 33) % 100 < static_cast<uint64_t>(density)) {
          g.band_dist[i] = std::bit_cast<uint32_t>(static_cast<float>((seed >> 40) % 1000) * 0.00037f);
        }
      }
      const std::vector<float> want = plain_far_field(g);
      for (int workers : {1, 8}) {
        SdfGrid copy = g;
        with_worker_count(workers, [&] { sdf_far_field(copy, 5.0); });
        ASSERT_EQ(copy.values.size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) {
          ASSERT_EQ(std::bit_cast<uint32_t>(copy.values[i]), std::bit_cast<uint32_t>(want[i]))
              << shape[0] << "x" << shape[1] << "x" << shape[2] << " density " << density << " voxel " << i;
        }
      }
    }
  }
}

// A sphere of radius 1 at 24 cells with the narrowest band, so most voxels need the far field.
class SdfFarField : public ::testing::Test {
 protected:
  Mesh mesh = test::make_icosphere(3);
  SdfGrid grid = build_sdf(mesh.positions, mesh.indices, 24, 1, 1.0, 6.0);

  Vec3 centre(uint64_t i, uint64_t j, uint64_t k) const {
    return {grid.origin[0] + (static_cast<double>(i) + 0.5) * grid.cell,
            grid.origin[1] + (static_cast<double>(j) + 0.5) * grid.cell,
            grid.origin[2] + (static_cast<double>(k) + 0.5) * grid.cell};
  }
  double surface_distance(const Vec3& p) const {
    double best = kInf;
    for (const Tri& t : mesh.indices) {
      best = std::fmin(best, length(p - closest_point_on_triangle(p, mesh.positions[t[0]], mesh.positions[t[1]],
                                                                   mesh.positions[t[2]])));
    }
    return best;
  }
};

TEST_F(SdfFarField, MatchesTheSeededTransformAndTheTrueDistance) {
  struct BandVoxel {
    double i, j, k, distance;
  };
  std::vector<BandVoxel> band;
  for (uint64_t k = 0; k < grid.nz; ++k)
    for (uint64_t j = 0; j < grid.ny; ++j)
      for (uint64_t i = 0; i < grid.nx; ++i) {
        const float b = std::bit_cast<float>(grid.band_dist[grid.index(i, j, k)]);
        if (std::isfinite(b)) band.push_back({double(i), double(j), double(k), b / grid.cell});
      }
  const auto state = grid.state;
  sdf_far_field(grid, 6.0 * grid.cell);
  EXPECT_TRUE(grid.band_dist.empty() && grid.state.empty());  // released: nothing reads them afterwards
  ASSERT_TRUE(grid.far_field_done);
  int checked = 0;
  for (uint64_t k = 0; k < grid.nz; k += 3) {
    for (uint64_t j = 1; j < grid.ny; j += 4) {
      for (uint64_t i = 2; i < grid.nx; i += 5) {
        const std::size_t idx = grid.index(i, j, k);
        if (state[idx] != Outside) continue;
        double best = kInf;  // min over band voxels of |i - j|^2 + (band distance / cell)^2
        for (const BandVoxel& v : band) {
          const double di = double(i) - v.i, dj = double(j) - v.j, dk = double(k) - v.k;
          best = std::fmin(best, di * di + dj * dj + dk * dk + v.distance * v.distance);
        }
        EXPECT_NEAR(grid.values[idx], grid.cell * std::sqrt(best), 1e-5) << i << " " << j << " " << k;
        // The seeded transform measures through band voxels, not to the surface: within a cell of it.
        EXPECT_NEAR(grid.values[idx], surface_distance(centre(i, j, k)), grid.cell);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 100);
}

TEST_F(SdfFarField, DeepInsideIsNegativeAndMirrored) {
  const uint64_t c = grid.nx / 2;
  const std::size_t idx = grid.index(c, c, c);
  ASSERT_EQ(grid.state[idx], Inside);
  sdf_far_field(grid, 6.0 * grid.cell);
  const float hd = static_cast<float>(grid.half_diag);
  EXPECT_NEAR(grid.values[idx], (hd + hd) - surface_distance(centre(c, c, c)), grid.cell);
  EXPECT_LT(grid.values[idx], -0.5f);
}

TEST_F(SdfFarField, SecondCallAndLevelWithinTheBandChangeNothing) {
  const auto band_values = grid.values;
  sdf_far_field(grid, 0.0);  // |0| + cell < cell * 1 is false: runs
  ASSERT_TRUE(grid.far_field_done);
  const auto first = grid.values;
  sdf_far_field(grid, 6.0 * grid.cell);
  EXPECT_EQ(grid.values, first);

  SdfGrid wide = build_sdf(mesh.positions, mesh.indices, 24, 1, 4.0, 1.0);
  const auto before = wide.values;
  sdf_far_field(wide, 2.5 * wide.cell);  // the band reaches a cell beyond the level
  EXPECT_FALSE(wide.far_field_done);
  EXPECT_EQ(wide.values, before);
}

TEST(SdfFarFieldEmpty, NoBandVoxelsGiveInfiniteOutsideValues) {
  SdfGrid g = build_sdf({}, {}, 8, 1, 2.0, 1.0);
  sdf_far_field(g, 5.0 * g.cell);
  for (float v : g.values) ASSERT_EQ(v, std::numeric_limits<float>::infinity());
}

}  // namespace
}  // namespace morvane
