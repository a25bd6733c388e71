#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "core/closest_point.hpp"
#include "core/far_field.hpp"
#include "core/grid.hpp"
#include "core/sdf.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::nan("");

std::vector<double> edt(const std::vector<double>& f) {
  std::vector<double> out(f.size(), -1.0);
  edt_1d(f.data(), out.data(), f.size());
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
  sdf_far_field(grid, 6.0 * grid.cell);
  EXPECT_TRUE(grid.band_dist.empty());  // released: nothing reads it afterwards
  ASSERT_TRUE(grid.far_field_done);
  int checked = 0;
  for (uint64_t k = 0; k < grid.nz; k += 3) {
    for (uint64_t j = 1; j < grid.ny; j += 4) {
      for (uint64_t i = 2; i < grid.nx; i += 5) {
        const std::size_t idx = grid.index(i, j, k);
        if (grid.state[idx] != Outside) continue;
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
  sdf_far_field(grid, 6.0 * grid.cell);
  const uint64_t c = grid.nx / 2;
  const std::size_t idx = grid.index(c, c, c);
  ASSERT_EQ(grid.state[idx], Inside);
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
