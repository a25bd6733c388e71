#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <vector>
#include <numbers>

#include "core/fold_free_moves.hpp"
#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "core/smooth.hpp"
#include "support/captured_progress.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

// A cube [-1, 1]^3 with every face split into n x n quads, corners shared along the edges.
Mesh make_tessellated_cube(int n) {
  Mesh m;
  std::map<std::array<int, 3>, uint32_t> ids;
  auto vertex = [&](std::array<int, 3> c) {
    auto [it, added] = ids.try_emplace(c, static_cast<uint32_t>(m.positions.size()));
    if (added) m.positions.push_back({2.0 * c[0] / n - 1, 2.0 * c[1] / n - 1, 2.0 * c[2] / n - 1});
    return it->second;
  };
  for (int axis = 0; axis < 3; ++axis) {
    const int u = (axis + 1) % 3, v = (axis + 2) % 3;
    for (int side = 0; side <= 1; ++side) {
      for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
          auto at = [&](int di, int dj) {
            std::array<int, 3> c{};
            c[axis] = side * n;
            c[u] = i + di;
            c[v] = j + dj;
            return vertex(c);
          };
          const uint32_t a = at(0, 0), b = at(1, 0), c = at(1, 1), d = at(0, 1);
          if (side == 1) {
            m.indices.insert(m.indices.end(), {Tri{a, b, c}, Tri{a, c, d}});
          } else {
            m.indices.insert(m.indices.end(), {Tri{a, c, b}, Tri{a, d, c}});
          }
        }
      }
    }
  }
  return m;
}

// Mean angle in degrees between the normals of the two faces along the cube's twelve edges.
double mean_crease_angle(const Mesh& cube, const Mesh& smoothed) {
  std::map<std::pair<uint32_t, uint32_t>, std::vector<Vec3>> faces_of_edge;
  for (const Tri& t : smoothed.indices) {
    const Vec3 n = face_normal(smoothed.positions[t[0]], smoothed.positions[t[1]], smoothed.positions[t[2]]);
    for (int k = 0; k < 3; ++k) faces_of_edge[std::minmax(t[k], t[(k + 1) % 3])].push_back(n * (1 / length(n)));
  }
  auto on_cube_edge = [&](uint32_t v) {
    int at_side = 0;
    for (double c : cube.positions[v]) at_side += std::abs(std::abs(c) - 1) < 1e-12;
    return at_side >= 2;
  };
  double sum = 0;
  int count = 0;
  for (const auto& [edge, normals] : faces_of_edge) {
    if (!on_cube_edge(edge.first) || !on_cube_edge(edge.second)) continue;
    sum += std::acos(std::clamp(dot(normals[0], normals[1]), -1.0, 1.0)) * 180 / std::numbers::pi;
    ++count;
  }
  return sum / count;
}

// A flat 6 x 6 vertex grid in the plane z = 0.
Mesh make_flat_grid() {
  Mesh m;
  for (int j = 0; j < 6; ++j) {
    for (int i = 0; i < 6; ++i) m.positions.push_back({i + 0.3 * (j % 2), j * 0.9, 0.0});
  }
  for (uint32_t j = 0; j < 5; ++j) {
    for (uint32_t i = 0; i < 5; ++i) {
      const uint32_t a = j * 6 + i;
      m.indices.insert(m.indices.end(), {Tri{a, a + 1, a + 7}, Tri{a, a + 7, a + 6}});
    }
  }
  return m;
}

// The filters written the plain way, one vertex and one triangle after another: the reference
// that the parallel ones must match to the bit.
std::vector<std::vector<uint32_t>> plain_lists(std::size_t n, const std::vector<Tri>& triangles) {
  std::vector<std::vector<uint32_t>> lists(n);
  auto add = [&](uint32_t to, uint32_t v) {
    if (std::find(lists[to].begin(), lists[to].end(), v) == lists[to].end()) lists[to].push_back(v);
  };
  for (const Tri& t : triangles) {
    add(t[0], t[1]), add(t[1], t[0]), add(t[1], t[2]), add(t[2], t[1]), add(t[2], t[0]), add(t[0], t[2]);
  }
  return lists;
}

std::vector<Vec3> plain_laplacian(const std::vector<Vec3>& p, const std::vector<std::vector<uint32_t>>& lists,
                                  double factor) {
  std::vector<Vec3> out = p;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (lists[i].empty()) continue;
    Vec3 sum{0, 0, 0};
    for (uint32_t j : lists[i]) sum += p[j];
    const double n = static_cast<double>(lists[i].size());
    out[i] = p[i] + (Vec3{sum[0] / n, sum[1] / n, sum[2] / n} - p[i]) * factor;
  }
  return out;
}

void plain_taubin(Mesh& m, int iterations, double lambda) {
  const auto lists = plain_lists(m.positions.size(), m.indices);
  const double mu = -lambda / (1.0 + lambda * -0.1);
  for (int i = 0; i < iterations; ++i) {
    const std::vector<Vec3> out = plain_laplacian(plain_laplacian(m.positions, lists, lambda), lists, mu);
    move_without_folds(m.positions, m.indices, out, MoveGuard{});  // the filter never folds a face
  }
}

void plain_bilateral(Mesh& m, int iterations, double sigma_n) {
  const auto lists = plain_lists(m.positions.size(), m.indices);
  const double d_normal = sigma_n * (sigma_n + sigma_n);
  for (int it = 0; it < iterations; ++it) {
    std::vector<Vec3> normals(m.positions.size(), Vec3{0, 0, 0});
    for (const Tri& t : m.indices) {
      for (uint32_t v : t) normals[v] += face_normal(m.positions[t[0]], m.positions[t[1]], m.positions[t[2]]);
    }
    for (Vec3& n : normals) {
      const double len = length(n);
      if (len > 1e-12) n = {n[0] / len, n[1] / len, n[2] / len};
    }
    double sum = 0;
    int count = 0;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      for (uint32_t j : lists[i]) {
        if (j > i) sum += length(m.positions[j] - m.positions[i]), ++count;
      }
    }
    const double sigma_s = count == 0 ? 1.0 : sum / count;
    const double d_spatial = sigma_s * (sigma_s + sigma_s);
    std::vector<Vec3> out = m.positions;
    for (std::size_t i = 0; i < lists.size(); ++i) {
      double weight_sum = 0;
      Vec3 weighted{0, 0, 0};
      for (uint32_t j : lists[i]) {
        const Vec3 d = m.positions[j] - m.positions[i];
        const double w = std::exp(-length_squared(d) / d_spatial) *
                         std::exp(-std::fmax(0.0, 1.0 - dot(normals[i], normals[j])) / d_normal);
        weight_sum += w;
        weighted += d * w;
      }
      if (weight_sum > 1e-12) {
        const Vec3& p = m.positions[i];
        out[i] = {p[0] + weighted[0] / weight_sum, p[1] + weighted[1] / weight_sum, p[2] + weighted[2] / weight_sum};
      }
    }
    move_without_folds(m.positions, m.indices, out, MoveGuard{});  // the filter never folds a face
  }
}

// Degenerate triangles name a vertex twice (its sums count that triangle twice) and a loose
// vertex has no neighbours; triangles far apart in the list share vertices.
TEST(SmoothingFilters, MatchThePlainSequentialFiltersOnAnyWorkerCount) {
  Mesh m = test::make_icosphere(3);
  for (std::size_t v = 0; v < m.positions.size(); ++v) m.positions[v] = m.positions[v] * (1.0 + 0.1 * std::sin(v));
  m.indices.push_back({5, 5, 17});
  m.indices.push_back({40, 2, 40});
  std::swap(m.indices[3], m.indices[m.indices.size() / 2]);
  m.positions.push_back({3, 3, 3});
  Mesh taubin = m, bilateral = m;
  plain_taubin(taubin, 3, 0.5);
  plain_bilateral(bilateral, 3, 0.3);
  for (int workers : {1, 8}) {
    Mesh t = m, b = m;
    with_worker_count(workers, [&] {
      taubin_smooth(t.positions, t.indices, 3, 0.5);
      bilateral_smooth(b.positions, b.indices, 3, 0.3);
    });
    EXPECT_EQ(t.positions, taubin.positions) << workers << " workers";
    EXPECT_EQ(b.positions, bilateral.positions) << workers << " workers";
  }
}

TEST(TaubinSmooth, KeepsSphereVolumeWhereLaplacianShrinks) {
  const Mesh sphere = test::make_icosphere(3);
  const double v0 = test::signed_volume(sphere);
  Mesh taubin = sphere;
  taubin_smooth(taubin.positions, taubin.indices, 10, 0.5);
  EXPECT_NEAR(test::signed_volume(taubin) / v0, 1.0, 0.03);

  Mesh laplacian = sphere;
  const detail::NeighbourLists lists = detail::build_neighbour_lists(laplacian.positions.size(), laplacian.indices);
  std::vector<Vec3> scratch(laplacian.positions.size());
  for (int i = 0; i < 10; ++i) detail::laplacian_step(laplacian.positions, lists, scratch, 0.5);
  EXPECT_LT(test::signed_volume(laplacian) / v0, 0.9);
}

TEST(TaubinSmooth, NonFiniteFactorsLeavePositionsUnchangedAndPrintNothing) {
  const Mesh sphere = test::make_icosphere(1);
  // lambda 10 makes mu = -10 / (1 - 1) infinite.
  for (double lambda : {std::numeric_limits<double>::quiet_NaN(), HUGE_VAL, -HUGE_VAL, 10.0}) {
    Mesh m = sphere;
    test::CapturedProgress progress;
    taubin_smooth(m.positions, m.indices, 3, lambda);
    EXPECT_EQ(progress.take(), "") << lambda;
    EXPECT_EQ(m.positions, sphere.positions) << lambda;
  }
  Mesh m = sphere;
  test::CapturedProgress progress;
  taubin_smooth(m.positions, m.indices, 3, 0.0);
  EXPECT_NE(progress.take().find("  Taubin smooth: starting (3 items)\n"), std::string::npos);
  EXPECT_EQ(m.positions, sphere.positions);  // lambda 0 gives mu -0
}

TEST(TaubinSmooth, NeighbourOrderFollowsFirstAppearance) {
  const detail::NeighbourLists lists = detail::build_neighbour_lists(5, std::vector<Tri>{{0, 1, 2}, {0, 2, 3}});
  auto list = [&](std::size_t v) { return std::vector<uint32_t>(lists[v].begin(), lists[v].end()); };
  EXPECT_EQ(list(0), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(list(2), (std::vector<uint32_t>{1, 0, 3}));
  EXPECT_EQ(list(3), (std::vector<uint32_t>{2, 0}));
  EXPECT_TRUE(lists[4].empty());
  EXPECT_THROW(detail::build_neighbour_lists(3, std::vector<Tri>{{0, 1, 3}}), InternalError);
}

TEST(SmoothingFilters, FlatGridStaysFlatAndLooseVerticesStay) {
  Mesh m = make_flat_grid();
  m.positions.push_back({5, 5, 5});  // used by no triangle
  Mesh taubin = m, bilateral = m;
  taubin_smooth(taubin.positions, taubin.indices, 4, 0.5);
  bilateral_smooth(bilateral.positions, bilateral.indices, 4, 0.3);
  for (const Mesh* r : {&taubin, &bilateral}) {
    for (std::size_t i = 0; i + 1 < r->positions.size(); ++i) EXPECT_EQ(r->positions[i][2], 0.0);
    EXPECT_EQ(r->positions.back(), m.positions.back());
  }
  EXPECT_NE(taubin.positions, m.positions);
}

TEST(BilateralSmooth, KeepsCubeEdgesSharperThanTaubin) {
  // Vertex normals on a crease lie halfway between the faces' normals, so the normal weight
  // separates the faces only for sigma_n well below the default 0.3.
  const Mesh cube = make_tessellated_cube(8);
  Mesh taubin = cube, bilateral = cube;
  taubin_smooth(taubin.positions, taubin.indices, 5, 0.5);
  bilateral_smooth(bilateral.positions, bilateral.indices, 5, 0.15);
  const double taubin_angle = mean_crease_angle(cube, taubin);
  const double bilateral_angle = mean_crease_angle(cube, bilateral);
  EXPECT_GT(bilateral_angle, taubin_angle + 8) << bilateral_angle << " vs " << taubin_angle;
}

TEST(BilateralSmooth, UnusableScalesLeavePositionsUnchanged) {
  const Mesh sphere = test::make_icosphere(1);
  for (double sigma_n : {0.0, -0.3, 1e-200, std::numeric_limits<double>::quiet_NaN()}) {
    Mesh m = sphere;
    test::CapturedProgress progress;
    bilateral_smooth(m.positions, m.indices, 2, sigma_n);
    EXPECT_EQ(progress.take(), "") << sigma_n;
    EXPECT_EQ(m.positions, sphere.positions) << sigma_n;
  }
  // Every edge of length 0: the distance weights would all be 0 / 0.
  Mesh collapsed = sphere;
  for (Vec3& p : collapsed.positions) p = {1, 2, 3};
  const std::vector<Vec3> before = collapsed.positions;
  bilateral_smooth(collapsed.positions, collapsed.indices, 3, 0.3);
  EXPECT_EQ(collapsed.positions, before);
}

}  // namespace
}  // namespace morvane
