#include <gtest/gtest.h>


#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <random>
#include <string>

#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "core/voxelize.hpp"
#include "support/captured_progress.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::size_t count_state(const VoxelGrid& g, CellState s) {
  std::size_t n = 0;
  for (uint8_t v : g.states) n += v == s;
  return n;
}

std::size_t index_of(const VoxelGrid& g, uint64_t x, uint64_t y, uint64_t z) { return x + g.nx * (y + g.ny * z); }

VoxelGrid voxelize_mesh(const Mesh& m, uint64_t res, uint64_t pad = 2) {
  return voxelize(m.positions, m.indices, res, pad);
}

// A grid of `fill` cells with the given dimensions.
VoxelGrid uniform_grid(uint64_t nx, uint64_t ny, uint64_t nz, CellState fill) {
  VoxelGrid g;
  g.nx = nx;
  g.ny = ny;
  g.nz = nz;
  g.states.assign(nx * ny * nz, fill);
  return g;
}

TEST(Voxelize, ClosedSphereIsShellOnItsSurfaceInsideWithinAndOutsideElsewhere) {
  const Mesh sphere = test::make_icosphere(3, 1.0, {0.25, -0.5, 2.0});
  const VoxelGrid g = voxelize_mesh(sphere, 32);
  ASSERT_EQ(g.nx, 36u);
  EXPECT_EQ(count_state(g, Empty), 0u);
  const double half_diagonal = std::sqrt(3.0) / 2 * g.cell;
  const double flattening = 0.01;  // the polyhedron lies between radius 0.99 and 1
  std::size_t inside = 0;
  for (uint64_t z = 0; z < g.nz; ++z) {
    for (uint64_t y = 0; y < g.ny; ++y) {
      for (uint64_t x = 0; x < g.nx; ++x) {
        const Vec3 centre = g.origin + Vec3{x + 0.5, y + 0.5, z + 0.5} * g.cell;
        const double r = length(centre - Vec3{0.25, -0.5, 2.0});
        const uint8_t s = g.states[index_of(g, x, y, z)];
        if (r > 1.0 + half_diagonal) {
          EXPECT_EQ(s, Outside) << x << " " << y << " " << z;
        } else if (r < 1.0 - flattening - half_diagonal) {
          EXPECT_EQ(s, Inside) << x << " " << y << " " << z;
          ++inside;
        } else if (s == Shell) {
          EXPECT_LT(std::fabs(r - 1.0), half_diagonal + flattening);
        }
      }
    }
  }
  EXPECT_GT(inside, 0u);
  for (const Vec3& p : sphere.positions) {
    const Vec3 q = (p - g.origin) * (1.0 / g.cell);
    EXPECT_EQ(g.states[index_of(g, uint64_t(q[0]), uint64_t(q[1]), uint64_t(q[2]))], Shell);
  }
}

TEST(Voxelize, OpenTriangleGivesOnlyShellAndOutside) {
  Mesh tri;
  tri.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0.5}};
  tri.indices = {{0, 1, 2}};
  const VoxelGrid g = voxelize_mesh(tri, 16);
  EXPECT_GT(count_state(g, Shell), 16u);
  EXPECT_EQ(count_state(g, Shell) + count_state(g, Outside), g.states.size());
}

TEST(Voxelize, GridCoversTheBoxWithThePadOnEverySide) {
  const Mesh box = test::make_box({-1, 0, 2}, {3, 1, 2.5});
  const VoxelGrid g = voxelize_mesh(box, 8, 3);
  EXPECT_EQ(g.cell, 0.5);
  EXPECT_EQ(g.nx, 8u + 6);
  EXPECT_EQ(g.ny, 2u + 6);
  EXPECT_EQ(g.nz, 1u + 6);
  EXPECT_EQ(g.origin, (Vec3{-1 - 1.5, 0 - 1.5, 2 - 1.5}));
  EXPECT_EQ(g.states.size(), g.nx * g.ny * g.nz);
}

TEST(Voxelize, PrintsItsTwoStages) {
  const Mesh box = test::make_box({0, 0, 0}, {1, 1, 1});
  test::CapturedProgress progress;
  voxelize(box.positions, box.indices, 8, 2);
  const std::string err = progress.take();
  EXPECT_EQ(err.find("  voxelize: starting (0 items)\n"), 0u);
  EXPECT_NE(err.find("\r  voxelize: done in "), std::string::npos);
  EXPECT_NE(err.find("  flood-fill exterior: starting (0 items)\n"), std::string::npos);
  EXPECT_NE(err.find("\r  flood-fill exterior: done in "), std::string::npos);
}

TEST(VoxelizeBadInput, EmptyInputGivesAnAllOutsideFallbackGrid) {
  const VoxelGrid g = voxelize_mesh(Mesh{}, 64);
  EXPECT_EQ(g.nx, 5u);
  EXPECT_EQ(g.cell, 1.0);
  EXPECT_EQ(count_state(g, Outside), 125u);
}

TEST(VoxelizeBadInput, TrianglesWithANonFiniteCornerAreSkipped) {
  // A NaN corner would otherwise put lattice points into cell (0, 0, 0), stop the flood fill there
  // and turn the whole grid Inside.
  Mesh box = test::make_box({0, 0, 0}, {1, 1, 1});
  const VoxelGrid reference = voxelize_mesh(box, 16);
  box.positions.push_back({kNan, 0.5, 0.5});
  box.positions.push_back({0.5, std::numeric_limits<double>::infinity(), 0.5});
  box.indices.push_back({0, 8, 1});
  box.indices.push_back({9, 2, 3});
  const VoxelGrid g = voxelize_mesh(box, 16);
  EXPECT_EQ(g.states, reference.states);
  EXPECT_EQ(g.origin, reference.origin);
}

TEST(VoxelizeBadInput, OverflowingAndHugeTrianglesFinishWithoutMarks) {
  // The box of these vertices has an infinite extent (unit-cell fallback grid at -1e308). The first
  // triangle's edge length overflows; the second's lattice would need about 1e614 points unclamped.
  Mesh m;
  m.positions = {{-1e308, 0, 0}, {1e308, 0, 0}, {0, 1, 0}, {0, 0, 0}, {1e307, 0, 0}, {0, 1e307, 0}};
  m.indices = {{0, 1, 2}, {3, 4, 5}};
  const VoxelGrid g = voxelize_mesh(m, 128);
  EXPECT_EQ(g.nx, 5u);
  EXPECT_EQ(count_state(g, Outside), g.states.size());
}

TEST(VoxelizeBadInput, HugeFiniteCoordinatesVoxelizeLikeTheirUnitScaleCopy) {
  // Edge lengths of order 2^600 overflow when squared; scaling by a power of two is exact, so the
  // grid must match the unit-scale one cell for cell.
  const Mesh unit = test::merge(test::make_icosphere(2, 0.7, {0.1, 0.2, 0.3}), test::make_box({1, 0, 0}, {1.5, 2, 1}));
  Mesh huge = unit;
  for (Vec3& p : huge.positions) p = p * std::ldexp(1.0, 600);
  const VoxelGrid a = voxelize_mesh(unit, 24), b = voxelize_mesh(huge, 24);
  EXPECT_EQ(b.states, a.states);
  EXPECT_EQ(b.cell, std::ldexp(a.cell, 600));
  EXPECT_GT(count_state(b, Inside), 0u);
}

TEST(VoxelizeBadInput, FaceIndexBeyondTheVerticesIsAnInternalError) {
  Mesh m;
  m.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  m.indices = {{0, 1, 3}};
  EXPECT_THROW(voxelize(m.positions, m.indices, 8, 2), InternalError);
}

// The exterior fill one cell at a time, in the classic breadth-first order.
void reference_fill(VoxelGrid& g) {
  if (g.states[0] != Empty) return;
  std::deque<std::array<uint64_t, 3>> queue{{0, 0, 0}};
  g.states[0] = Outside;
  while (!queue.empty()) {
    const auto [x, y, z] = queue.front();
    queue.pop_front();
    const int64_t d[6][3] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
    for (const auto& o : d) {
      const uint64_t nx = x + o[0], ny = y + o[1], nz = z + o[2];  // wraps below 0, caught below
      if (nx >= g.nx || ny >= g.ny || nz >= g.nz) continue;
      uint8_t& s = g.states[index_of(g, nx, ny, nz)];
      if (s != Empty) continue;
      s = Outside;
      queue.push_back({nx, ny, nz});
    }
  }
}

// The fill labels the empty runs of each z-slab and joins them across slab faces: random grids
// give many small components and runs that meet only through a neighbouring slab, and flat grids
// give slabs of a single row or a single cell.
TEST(FloodFillExterior, MatchesCellByCellBreadthFirstFillOnRandomGrids) {
  std::mt19937 rng(7);
  const uint64_t shapes[][3] = {{13, 9, 11}, {1, 1, 30}, {40, 1, 1}, {7, 1, 9}, {1, 8, 8}, {20, 20, 1}, {70, 3, 4}};
  for (const auto& shape : shapes) {
    for (double density : {0.2, 0.3, 0.45}) {
      for (int trial = 0; trial < 3; ++trial) {
        VoxelGrid g = uniform_grid(shape[0], shape[1], shape[2], Empty);
        std::bernoulli_distribution shell(density);
        for (std::size_t i = 1; i < g.states.size(); ++i) g.states[i] = shell(rng) ? Shell : Empty;
        VoxelGrid expected = g;
        reference_fill(expected);
        for (int workers : {1, 8}) {
          VoxelGrid filled = g;
          with_worker_count(workers, [&] { detail::flood_fill_exterior(filled); });
          EXPECT_EQ(filled.states, expected.states) << shape[0] << "x" << shape[1] << "x" << shape[2] << " density "
                                                    << density << " trial " << trial << ", " << workers << " workers";
        }
      }
    }
  }
}

// A corridor that winds through every slab: each slab is walled off but for one opening, at
// alternating ends, so the exterior reaches the far slabs only along the whole path, and a closed
// pocket in every slab stays Empty.
TEST(FloodFillExterior, WindingCorridorThroughEverySlab) {
  VoxelGrid g = uniform_grid(12, 10, 9, Empty);
  for (uint64_t z = 1; z < g.nz; z += 2) {
    for (uint64_t y = 0; y < g.ny; ++y) {
      for (uint64_t x = 0; x < g.nx; ++x) {
        const bool opening = ((z / 2) % 2 == 0 ? x + 1 == g.nx : x == 0) && y + 1 == g.ny;
        if (!opening) g.states[index_of(g, x, y, z)] = Shell;
      }
    }
  }
  for (uint64_t z = 0; z < g.nz; z += 2) {
    for (uint64_t y = 3; y <= 5; ++y) {
      for (uint64_t x = 3; x <= 5; ++x) g.states[index_of(g, x, y, z)] = (x == 4 && y == 4) ? Empty : Shell;
    }
  }
  VoxelGrid expected = g;
  reference_fill(expected);
  EXPECT_EQ(expected.states[index_of(expected, 0, 0, g.nz - 1)], Outside);
  EXPECT_EQ(expected.states[index_of(expected, 4, 4, 2)], Empty);
  for (int workers : {1, 8}) {
    VoxelGrid filled = g;
    with_worker_count(workers, [&] { detail::flood_fill_exterior(filled); });
    EXPECT_EQ(filled.states, expected.states) << workers << " workers";
  }
}

TEST(FloodFillExterior, DoesNothingWhenTheCornerIsNotEmpty) {
  VoxelGrid g = uniform_grid(4, 4, 4, Empty);
  g.states[0] = Shell;
  detail::flood_fill_exterior(g);
  EXPECT_EQ(count_state(g, Empty), 63u);
}

TEST(DilateVoxels, NPassesFillTheManhattanBall) {
  // One pass reaches the six face neighbours of a lone solid cell, not its edge or corner neighbours.
  for (uint64_t n : {1, 3}) {
    VoxelGrid g = uniform_grid(11, 11, 11, Outside);
    g.states[index_of(g, 5, 5, 5)] = Shell;
    dilate_voxels(g, n);
    for (uint64_t z = 0; z < 11; ++z) {
      for (uint64_t y = 0; y < 11; ++y) {
        for (uint64_t x = 0; x < 11; ++x) {
          const uint64_t d = std::abs(int64_t(x) - 5) + std::abs(int64_t(y) - 5) + std::abs(int64_t(z) - 5);
          const uint8_t expected = d == 0 ? Shell : d <= n ? Inside : Outside;
          EXPECT_EQ(g.states[index_of(g, x, y, z)], expected) << n << ": " << x << " " << y << " " << z;
        }
      }
    }
  }
}

TEST(DilateVoxels, ZeroPassesChangeNothingAndNeighboursDoNotWrapAcrossRows) {
  VoxelGrid g = uniform_grid(4, 4, 4, Empty);
  g.states[index_of(g, 3, 3, 1)] = Inside;  // last cell of its row and of its plane's last row
  const VoxelGrid before = g;
  dilate_voxels(g, 0);
  EXPECT_EQ(g.states, before.states);
  dilate_voxels(g, 1);
  EXPECT_EQ(g.states[index_of(g, 0, 0, 2)], Empty);  // next index in memory
  EXPECT_EQ(g.states[index_of(g, 3, 0, 2)], Empty);  // index + nx
  EXPECT_EQ(count_state(g, Inside), 5u);              // itself, -x, -y, -z, +z
}

TEST(DilateVoxels, HugeCountStopsOnceTheGridIsSolid) {
  VoxelGrid g = uniform_grid(9, 8, 7, Outside);
  g.states[index_of(g, 0, 0, 0)] = Shell;
  dilate_voxels(g, std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(count_state(g, Inside), g.states.size() - 1);
}

TEST(VoxelizeThreads, OneAndEightWorkersGiveTheSameGrid) {
  const Mesh m = test::merge(test::make_icosphere(4, 1.0), test::make_torus(1.6, 0.3, 48, 16));
  VoxelGrid one, eight;
  with_worker_count(1, [&] {
    one = voxelize(m.positions, m.indices, 48, 4);
    dilate_voxels(one, 2);
  });
  with_worker_count(8, [&] {
    eight = voxelize(m.positions, m.indices, 48, 4);
    dilate_voxels(eight, 2);
  });
  EXPECT_EQ(one.states, eight.states);
  EXPECT_GT(count_state(one, Inside), 0u);
}

}  // namespace
}  // namespace morvane
