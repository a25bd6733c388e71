#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "core/parallel.hpp"
#include "core/point_grid.hpp"
#include "core/shrink_fit.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

// The bucket search over the grid's cells that defines the answers: shells of growing Chebyshev
// radius around the query's cell, cells in k, j, i order, buckets in index order, strictly
// nearer points replacing the best, stopping once the best is within cell * radius.
class ShellSearch {
 public:
  explicit ShellSearch(const PointGrid& g) : g_(g), buckets_(g.dims[0] * g.dims[1] * g.dims[2]) {
    for (uint32_t i = 0; i < g.points.size(); ++i) buckets_[bucket(cell_of(g.points[i]))].push_back(i);
  }

  std::optional<uint32_t> nearest(const Vec3& p) const {
    const auto c = cell_of(p);
    const int64_t ci = c[0], cj = c[1], ck = c[2];
    const int64_t nx = g_.dims[0], ny = g_.dims[1], nz = g_.dims[2];
    const int64_t limit = std::max({nx, ny, nz}) + 1;
    double best = std::numeric_limits<double>::infinity();
    std::optional<uint32_t> result;
    for (int64_t r = 0;; ++r) {
      for (int64_t k = std::max<int64_t>(ck - r, 0); k <= std::min(ck + r, nz - 1); ++k) {
        for (int64_t j = std::max<int64_t>(cj - r, 0); j <= std::min(cj + r, ny - 1); ++j) {
          const bool face = std::abs(j - cj) == r || std::abs(k - ck) == r;
          for (int64_t i = std::max<int64_t>(ci - r, 0); i <= std::min(ci + r, nx - 1); ++i) {
            if (!face && i != ci - r && i != ci + r) continue;
            for (uint32_t q : buckets_[bucket({uint64_t(i), uint64_t(j), uint64_t(k)})]) {
              const Vec3& s = g_.points[q];
              const double d2 = (p[0] - s[0]) * (p[0] - s[0]) + (p[1] - s[1]) * (p[1] - s[1]) +
                                (p[2] - s[2]) * (p[2] - s[2]);
              if (d2 < best) best = d2, result = q;
            }
          }
        }
      }
      if (result && (r >= limit || std::sqrt(best) <= g_.cell * static_cast<double>(r))) return result;
      if (!result && r >= limit) return std::nullopt;
    }
  }

 private:
  std::array<uint64_t, 3> cell_of(const Vec3& p) const { return detail::point_grid_cell(p, g_.min, g_.dims, g_.inv_cell); }
  std::size_t bucket(std::array<uint64_t, 3> c) const { return c[0] + g_.dims[0] * (c[1] + g_.dims[1] * c[2]); }

  const PointGrid& g_;
  std::vector<std::vector<uint32_t>> buckets_;
};

void expect_same_answers(std::span<const Vec3> points, std::span<const Vec3> queries) {
  const PointGrid grid = build_point_grid(points);
  const ShellSearch reference(grid);
  for (const Vec3& q : queries) {
    ASSERT_EQ(point_grid_nearest(grid, q), reference.nearest(q)) << q[0] << " " << q[1] << " " << q[2];
  }
}

std::vector<Vec3> random_points(std::mt19937_64& rng, std::size_t n, double lo, double hi, bool lattice) {
  std::uniform_real_distribution<double> u(lo, hi);
  std::vector<Vec3> v(n);
  for (Vec3& p : v) {
    for (double& c : p) c = lattice ? std::floor(u(rng)) : u(rng);
  }
  return v;
}

TEST(PointGrid, CellSizeFollowsPointCount) {
  std::mt19937_64 rng(1);
  std::vector<Vec3> points = random_points(rng, 98, 0, 1, false);
  points.push_back({0, 0, 0});
  points.push_back({1, 1, 1});
  const PointGrid g = build_point_grid(points);
  EXPECT_EQ(g.cell, std::cbrt(1.0 * (1.0 * 1.0) / 4.0));
  EXPECT_EQ(g.dims, (std::array<uint64_t, 3>{2, 2, 2}));

  const PointGrid empty = build_point_grid({});
  EXPECT_EQ(empty.dims, (std::array<uint64_t, 3>{1, 1, 1}));
  EXPECT_FALSE(point_grid_nearest(empty, {0, 0, 0}));

  // Points scaled by a power of two, down to extents far below any fixed length, get the cell
  // scaled by it (so ties break the same way).
  for (int exponent : {-60, -41, -1, 1, 5, 60}) {
    std::vector<Vec3> scaled = points;
    for (Vec3& p : scaled) p = {std::ldexp(p[0], exponent), std::ldexp(p[1], exponent), std::ldexp(p[2], exponent)};
    const PointGrid s = build_point_grid(scaled);
    EXPECT_EQ(s.cell, std::ldexp(g.cell, exponent)) << exponent;
    EXPECT_EQ(s.dims, g.dims) << exponent;
  }
}

TEST(PointGrid, CoincidentPointsGiveTheLowestIndex) {
  const std::vector<Vec3> same(5, Vec3{2, 2, 2});
  const PointGrid g = build_point_grid(same);
  EXPECT_EQ(g.dims, (std::array<uint64_t, 3>{1, 1, 1}));
  EXPECT_EQ(point_grid_nearest(g, {2, 2, 2}), 0u);
  EXPECT_EQ(point_grid_nearest(g, {-7, 3, 100}), 0u);
}

TEST(PointGrid, AgreesWithShellSearchOnTiesAndOutsideQueries) {
  std::mt19937_64 rng(2);
  // Integer lattice points: many exact ties and coincident points.
  const std::vector<Vec3> points = random_points(rng, 3000, 0, 20, true);
  std::vector<Vec3> queries = random_points(rng, 1500, -5, 25, true);
  for (Vec3& q : random_points(rng, 1500, -3, 23, true)) queries.push_back(q + Vec3{0.5, 0, 0.5});
  expect_same_answers(points, queries);
  expect_same_answers(random_points(rng, 2000, -1, 1, false), random_points(rng, 2000, -1.5, 1.5, false));
}

TEST(PointGrid, StrayAndHugePointsKeepTheAnswers) {
  std::mt19937_64 rng(3);
  std::vector<Vec3> points = random_points(rng, 2000, 0, 8, true);
  points.push_back({1e6, 3, 3});
  std::vector<Vec3> queries = random_points(rng, 1000, -1, 9, false);
  queries.push_back({1e6 - 1, 3, 3});
  queries.push_back({4e5, 0, 0});
  expect_same_answers(points, queries);

  // Extents near 1e120: the cube of the extent overflows, the cell size must not.
  std::vector<Vec3> huge = random_points(rng, 500, 0, 1e120, false);
  const PointGrid g = build_point_grid(huge);
  EXPECT_TRUE(std::isfinite(g.cell));
  EXPECT_GT(g.dims[0] * g.dims[1] * g.dims[2], 1u);
  expect_same_answers(huge, random_points(rng, 300, 0, 1e120, false));
}

TEST(PointGrid, NonFinitePointsAreNeverReturned) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
  const std::vector<Vec3> points{{nan, 0, 0}, {inf, 0, 0}, {1, 1, 1}, {0, -inf, 0}, {2, 2, 2}};
  const PointGrid g = build_point_grid(points);
  EXPECT_EQ(point_grid_nearest(g, {0, 0, 0}), 2u);
  EXPECT_EQ(point_grid_nearest(g, {100, 0, 0}), 4u);
  EXPECT_FALSE(point_grid_nearest(g, {nan, 0, 0}));
  EXPECT_FALSE(point_grid_nearest(g, {0, inf, 0}));
  EXPECT_FALSE(point_grid_nearest(build_point_grid(std::vector<Vec3>{{nan, nan, nan}}), {0, 0, 0}));
}

TEST(ShrinkFit, MovesOntoOrExactlyTheLimitTowardTheNearestInputVertex) {
  const std::vector<Vec3> input{{0, 0, 0}, {10, 0, 0}};
  std::vector<Vec3> proxy{{0.3, 0, 0}, {0, 2.0, 0}};
  shrink_fit(proxy, input, 0.5);
  EXPECT_EQ(proxy[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(proxy[1], (Vec3{0, 1.5, 0}));

  const std::vector<Vec3> before{{0.3, 0, 0}};
  for (double max_d : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    std::vector<Vec3> p = before;
    shrink_fit(p, input, max_d);
    EXPECT_EQ(p, before) << max_d;
  }
  std::vector<Vec3> p = before;
  shrink_fit(p, {}, 1.0);
  EXPECT_EQ(p, before);
}

TEST(ShrinkFit, EachInputVertexTakesOnlyItsNearestProxyVertex) {
  // Three proxy vertices pulled toward the origin: the nearest lands there, the others stop halfway
  // (or at the limit), so no two end at one point. Among equally near ones the lower index lands.
  const std::vector<Vec3> input{{0, 0, 0}};
  std::vector<Vec3> proxy{{0.3, 0, 0}, {0, 0.2, 0}, {0, 0, -2.0}};
  shrink_fit(proxy, input, 0.5);
  EXPECT_EQ(proxy[0], (Vec3{0.15, 0, 0}));
  EXPECT_EQ(proxy[1], (Vec3{0, 0, 0}));
  EXPECT_EQ(proxy[2], (Vec3{0, 0, -1.5}));

  std::vector<Vec3> tie{{0, 0.2, 0}, {0.2, 0, 0}};
  shrink_fit(tie, input, 0.5);
  EXPECT_EQ(tie[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(tie[1], (Vec3{0.1, 0, 0}));
}

double mean_distance_to_nearest(std::span<const Vec3> from, const PointGrid& to) {
  double sum = 0;
  for (const Vec3& p : from) sum += length(to.points[*point_grid_nearest(to, p)] - p);
  return sum / static_cast<double>(from.size());
}

TEST(ShrinkFit, LooseProxyComesCloserWithinTheLimitOnAnyWorkerCount) {
  const Mesh input = test::make_icosphere(4);
  const Mesh loose = test::make_icosphere(3, 1.3);
  const double max_d = 0.1;
  std::vector<Vec3> one = loose.positions, eight = loose.positions;
  with_worker_count(1, [&] { shrink_fit(one, input.positions, max_d); });
  with_worker_count(8, [&] { shrink_fit(eight, input.positions, max_d); });
  EXPECT_EQ(one, eight);
  for (std::size_t i = 0; i < one.size(); ++i) EXPECT_LE(length(one[i] - loose.positions[i]), max_d * (1 + 1e-12));
  const PointGrid grid = build_point_grid(input.positions);
  EXPECT_LT(mean_distance_to_nearest(one, grid), mean_distance_to_nearest(loose.positions, grid) - 0.09);
}

}  // namespace
}  // namespace morvane
