#include <gtest/gtest.h>


#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "core/marching_cubes.hpp"
#include "core/mc_tables.hpp"
#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "core/sdf_marching_cubes.hpp"
#include "core/voxelize.hpp"
#include "support/captured_progress.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

std::vector<int> row_of(int c) {
  std::vector<int> r;
  for (int k = 0; k < 16 && kTriTable[c][k] >= 0; ++k) r.push_back(kTriTable[c][k]);
  return r;
}

bool corner_inside(int c, int corner) { return ((c >> corner) & 1) != 0; }

TEST(McTables, KnownRowsAndTotal) {
  EXPECT_EQ(row_of(0), std::vector<int>{});
  EXPECT_EQ(row_of(255), std::vector<int>{});
  EXPECT_EQ(row_of(1), (std::vector<int>{0, 8, 3}));
  EXPECT_EQ(row_of(3), (std::vector<int>{1, 8, 3, 9, 8, 1}));
  EXPECT_EQ(row_of(254), (std::vector<int>{0, 3, 8}));
  std::size_t triangles = 0;
  for (int c = 0; c < 256; ++c) {
    const std::vector<int> r = row_of(c);
    ASSERT_EQ(r.size() % 3, 0u) << c;
    ASSERT_EQ(kTriTable[c][15], -1) << c;
    triangles += r.size() / 3;
  }
  EXPECT_EQ(triangles, 820u);  // the published table as distributed
}

TEST(McTables, EdgeTableMarksTheCutEdgesAndEveryRowUsesExactlyThose) {
  for (int c = 0; c < 256; ++c) {
    unsigned cut = 0, used = 0;
    for (int k = 0; k < 12; ++k) {
      if (corner_inside(c, kEdgeCorners[k][0]) != corner_inside(c, kEdgeCorners[k][1])) cut |= 1u << k;
    }
    for (int e : row_of(c)) used |= 1u << e;
    EXPECT_EQ(kEdgeTable[c], cut) << c;
    EXPECT_EQ(used, cut) << c;
  }
}

TEST(McTables, SwappedTrianglesFaceFromInsideToOutsideCorners) {
  auto midpoint = [](int e) {
    const auto& a = kCubeCorner[kEdgeCorners[e][0]];
    const auto& b = kCubeCorner[kEdgeCorners[e][1]];
    return Vec3{(a[0] + b[0]) / 2.0, (a[1] + b[1]) / 2.0, (a[2] + b[2]) / 2.0};
  };
  for (int c = 1; c < 255; ++c) {
    const std::vector<int> r = row_of(c);
    for (std::size_t t = 0; t < r.size(); t += 3) {
      const Vec3 n = face_normal(midpoint(r[t]), midpoint(r[t + 2]), midpoint(r[t + 1]));
      double outward = 0;
      for (int e : {r[t], r[t + 1], r[t + 2]}) {
        auto [c0, c1] = kEdgeCorners[e];
        if (!corner_inside(c, c0)) std::swap(c0, c1);
        const auto& in = kCubeCorner[c0];
        const auto& out = kCubeCorner[c1];
        outward += dot(n, Vec3{double(out[0]) - in[0], double(out[1]) - in[1], double(out[2]) - in[2]});
      }
      EXPECT_GT(outward, 0) << "case " << c << " triangle " << t / 3;
    }
  }
}

// --- Mesh checks -------------------------------------------------------------------------------

// Every directed edge once and its reverse once: closed, manifold along edges, consistently oriented.
bool closed_and_oriented(const Mesh& m) {
  std::map<std::pair<uint32_t, uint32_t>, int> directed;
  for (const Tri& t : m.indices) {
    for (int k = 0; k < 3; ++k) ++directed[{t[k], t[(k + 1) % 3]}];
  }
  for (const auto& [e, n] : directed) {
    auto reverse = directed.find({e.second, e.first});
    if (n != 1 || reverse == directed.end() || reverse->second != 1) return false;
  }
  return true;
}

// Ray parity along a direction that no test mesh is aligned with.
bool encloses(const Mesh& m, const Vec3& p) {
  const Vec3 dir{1.0, 0.0123456789, 0.0234567891};
  int crossings = 0;
  for (const Tri& t : m.indices) {
    const Vec3 &a = m.positions[t[0]], &b = m.positions[t[1]], &c = m.positions[t[2]];
    const Vec3 e1 = b - a, e2 = c - a, h = cross(dir, e2);
    const double det = dot(e1, h);
    if (std::fabs(det) < 1e-15) continue;
    const Vec3 s = p - a;
    const double u = dot(s, h) / det;
    const Vec3 q = cross(s, e1);
    const double v = dot(dir, q) / det;
    if (u < 0 || v < 0 || u + v > 1) continue;
    if (dot(e2, q) / det > 0) ++crossings;
  }
  return crossings % 2 == 1;
}

bool all_positions_distinct(const Mesh& m) {
  std::set<Vec3> seen(m.positions.begin(), m.positions.end());
  return seen.size() == m.positions.size();
}

VoxelGrid voxel_grid(uint64_t nx, uint64_t ny, uint64_t nz, CellState fill) {
  VoxelGrid g;
  g.nx = nx;
  g.ny = ny;
  g.nz = nz;
  g.states.assign(nx * ny * nz, fill);
  g.origin = {1.0, -2.0, 0.5};
  g.cell = 0.25;
  return g;
}

SdfGrid sdf_grid(uint64_t nx, uint64_t ny, uint64_t nz, float fill) {
  SdfGrid g;
  g.nx = nx;
  g.ny = ny;
  g.nz = nz;
  g.values.assign(nx * ny * nz, fill);
  g.origin = {1.0, -2.0, 0.5};
  g.cell = 0.25;
  return g;
}

// The six vertices of an octahedron around `centre` at `reach` along each axis, in any order.
void expect_octahedron(const Mesh& m, const Vec3& centre, double reach, double tolerance = 1e-12) {
  ASSERT_EQ(m.positions.size(), 6u);
  ASSERT_EQ(m.indices.size(), 8u);
  std::set<Vec3> expected, actual(m.positions.begin(), m.positions.end());
  for (int axis = 0; axis < 3; ++axis) {
    for (double sign : {-1.0, 1.0}) {
      Vec3 p = centre;
      p[axis] += sign * reach;
      expected.insert(p);
    }
  }
  for (const Vec3& p : actual) {
    bool near = false;
    for (const Vec3& q : expected) near = near || length(p - q) < tolerance;
    EXPECT_TRUE(near) << p[0] << " " << p[1] << " " << p[2];
  }
  EXPECT_TRUE(closed_and_oriented(m));
  for (const Tri& t : m.indices) {
    const Vec3 n = face_normal(m.positions[t[0]], m.positions[t[1]], m.positions[t[2]]);
    const Vec3 centroid = (m.positions[t[0]] + m.positions[t[1]] + m.positions[t[2]]) * (1.0 / 3);
    EXPECT_GT(dot(n, centroid - centre), 0);
  }
}

// --- Voxel variant ------------------------------------------------------------------------------

TEST(VoxelMarchingCubes, SingleSolidSampleGivesAnOutwardOctahedronAtHalfACell) {
  VoxelGrid g = voxel_grid(3, 4, 3, Outside);
  g.states[1 + 3 * (1 + 4 * 1)] = Inside;
  const Mesh m = voxel_marching_cubes(g);
  expect_octahedron(m, g.origin + Vec3{1, 1, 1} * g.cell, 0.5 * g.cell);
}

TEST(VoxelMarchingCubes, ThinGridGivesAnEmptyMeshSilently) {
  for (auto [nx, ny, nz] : {std::array<uint64_t, 3>{1, 5, 5}, {5, 1, 5}, {5, 5, 1}, {0, 0, 0}}) {
    const VoxelGrid g = voxel_grid(nx, ny, nz, Inside);
    test::CapturedProgress progress;
    const Mesh m = voxel_marching_cubes(g);
    EXPECT_EQ(progress.take(), "");
    EXPECT_TRUE(m.positions.empty() && m.indices.empty());
  }
}

TEST(VoxelMarchingCubes, UniformGridsGiveAnEmptyMeshAndStillPrintTheStage) {
  for (CellState fill : {Outside, Inside, Shell}) {
    const VoxelGrid g = voxel_grid(4, 4, 4, fill);
    test::CapturedProgress progress;
    const Mesh m = voxel_marching_cubes(g);
    const std::string err = progress.take();
    EXPECT_TRUE(m.positions.empty() && m.indices.empty());
    EXPECT_EQ(err.find("  marching cubes: starting (0 items)\n"), 0u);
    EXPECT_NE(err.find("\r  marching cubes: done in "), std::string::npos);
  }
}

struct Shape {
  const char* name;
  Mesh mesh;
};

std::vector<Shape> closed_shapes() {
  return {{"sphere", test::make_icosphere(3, 1.0, {0.3, 0.1, -0.2})},
          {"torus", test::make_torus(1.0, 0.35, 40, 16)},
          {"touching boxes",
           test::merge(test::make_box({0, 0, 0}, {1, 1, 1}), test::make_box({1, 0.2, 0.1}, {1.6, 0.9, 0.7}))}};
}

TEST(VoxelPath, ClosedInputsGiveClosedWeldedSurfacesAroundEveryVertex) {
  for (const Shape& shape : closed_shapes()) {
    SCOPED_TRACE(shape.name);
    VoxelGrid g = voxelize(shape.mesh.positions, shape.mesh.indices, 40, 2 + 3);
    // The surface passes half a cell inside the solid on its +x, +y and +z sides. After three passes
    // of dilation the eight cells around each vertex's cell corner (L1 distance <= 3) are solid, so
    // the cube holding the vertex lies entirely inside.
    dilate_voxels(g, 3);
    const Mesh m = voxel_marching_cubes(g);
    ASSERT_GT(m.indices.size(), 100u);
    EXPECT_TRUE(closed_and_oriented(m));
    EXPECT_EQ(test::open_or_overfull_edges(m), 0u);
    EXPECT_TRUE(all_positions_distinct(m));
    EXPECT_GT(test::signed_volume(m), 0);
    for (const Vec3& p : shape.mesh.positions) EXPECT_TRUE(encloses(m, p)) << p[0] << " " << p[1] << " " << p[2];
  }
}

// --- Distance-field variant ---------------------------------------------------------------------

TEST(SdfMarchingCubes, SingleSampleBelowIsoGivesAnOctahedronAtTheInterpolatedLevel) {
  SdfGrid g = sdf_grid(3, 3, 4, 5.0f);
  g.values[1 + 3 * (1 + 3 * 2)] = 1.0f;  // less iso 2: -1 inside, 3 outside, t = 1 / 4 from the inside
  const Mesh m = sdf_marching_cubes(g, 2.0);
  expect_octahedron(m, g.origin + Vec3{1.5, 1.5, 2.5} * g.cell, 0.25 * g.cell);
}

// However small the differences of the values (the field of a tiny model), the vertex divides the
// edge by their ratio; only a NaN sample leaves no ratio.
TEST(SdfMarchingCubes, TinyEdgesKeepTheirRatioNanEdgesMeetAtTheMiddleAndVerticesStayOffTheSamples) {
  const Vec3 centre{1.0 + 1.5 * 0.25, -2.0 + 1.5 * 0.25, 0.5 + 1.5 * 0.25};
  SdfGrid tiny = sdf_grid(3, 3, 3, 0x1.8p-39f);
  tiny.values[13] = -0x1p-40f;  // t = 2^-40 / 2^-38
  expect_octahedron(sdf_marching_cubes(tiny, 0.0), centre, 0.25 * 0.25);
  SdfGrid nan = sdf_grid(3, 3, 3, std::numeric_limits<float>::quiet_NaN());  // NaN samples are outside
  EXPECT_TRUE(sdf_marching_cubes(nan, 0.0).indices.empty());
  nan.values[13] = -1.0f;
  expect_octahedron(sdf_marching_cubes(nan, 0.0), centre, 0.5 * 0.25);
  SdfGrid steep = sdf_grid(3, 3, 3, 1000.0f);
  steep.values[13] = -1e-3f;  // t would be 1e-6
  expect_octahedron(sdf_marching_cubes(steep, 0.0), centre, 0.01 * 0.25);
}

TEST(SdfMarchingCubes, FieldsEntirelyAboveOrBelowIsoGiveNothing) {
  for (float fill : {1.0f, -1.0f}) {
    const SdfGrid g = sdf_grid(4, 4, 4, fill);
    test::CapturedProgress progress;
    const Mesh m = sdf_marching_cubes(g, 0.0);
    EXPECT_NE(progress.take().find("marching cubes: done in"), std::string::npos);
    EXPECT_TRUE(m.indices.empty());
  }
  test::CapturedProgress progress;
  EXPECT_TRUE(sdf_marching_cubes(sdf_grid(4, 1, 4, -1.0f), 0.0).indices.empty());
  EXPECT_EQ(progress.take(), "");
}

// --- Slab merge ---------------------------------------------------------------------------------

// The merge as a single pass over the slabs with one map from grid edge to output vertex.
Mesh reference_merge(const std::vector<McSlab>& slabs) {
  Mesh out;
  std::map<std::tuple<uint32_t, uint32_t, uint32_t, uint8_t>, uint32_t> index;
  for (const McSlab& slab : slabs) {
    std::vector<uint32_t> local(slab.vertices.size());
    for (std::size_t j = 0; j < slab.vertices.size(); ++j) {
      const GridEdgeKey& k = slab.keys[j];
      auto [it, inserted] = index.try_emplace({k.x, k.y, k.z, k.axis}, uint32_t(out.positions.size()));
      if (inserted) out.positions.push_back(slab.vertices[j]);
      local[j] = it->second;
    }
    for (const Tri& t : slab.triangles) out.indices.push_back({local[t[0]], local[t[1]], local[t[2]]});
  }
  return out;
}

VoxelGrid random_voxels(std::mt19937& rng, uint64_t nx, uint64_t ny, uint64_t nz, double solid) {
  VoxelGrid g = voxel_grid(nx, ny, nz, Outside);
  std::bernoulli_distribution pick(solid);
  for (uint8_t& s : g.states) s = pick(rng) ? (pick(rng) ? Shell : Inside) : (pick(rng) ? Outside : Empty);
  return g;
}

SdfGrid random_field(std::mt19937& rng, uint64_t nx, uint64_t ny, uint64_t nz) {
  SdfGrid g = sdf_grid(nx, ny, nz, 0.0f);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::uniform_int_distribution<int> special(0, 19);
  for (float& v : g.values) {
    const int s = special(rng);
    v = s == 0 ? std::numeric_limits<float>::quiet_NaN() : s == 1 ? 0.0f : value(rng);
  }
  return g;
}

TEST(McSlabMerge, MatchesASingleMapMergeOnRandomGrids) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 6; ++trial) {
    const VoxelGrid v = random_voxels(rng, 7 + trial, 6, 9, 0.3 + 0.05 * trial);
    const SdfGrid f = random_field(rng, 6, 8 + trial, 7);
    std::vector<McSlab> voxel_slabs, sdf_slabs;
    for (uint64_t z = 0; z + 1 < v.nz; ++z) voxel_slabs.push_back(detail::voxel_mc_slab_body(v, z));
    for (uint64_t z = 0; z + 1 < f.nz; ++z) sdf_slabs.push_back(detail::sdf_mc_slab_body(f, 0.1, z));
    for (const auto* slabs : {&voxel_slabs, &sdf_slabs}) {
      const Mesh expected = reference_merge(*slabs);
      const Mesh merged = detail::merge_mc_slabs(*slabs);
      ASSERT_GT(expected.indices.size(), 0u);
      EXPECT_EQ(merged.positions.size(), expected.positions.size());
      EXPECT_EQ(merged.indices, expected.indices);
      for (std::size_t i = 0; i < merged.positions.size() && i < expected.positions.size(); ++i) {
        // Bitwise, NaN coordinates included.
        EXPECT_EQ(std::memcmp(&merged.positions[i], &expected.positions[i], sizeof(Vec3)), 0) << i;
      }
    }
    EXPECT_EQ(voxel_marching_cubes(v).indices, reference_merge(voxel_slabs).indices);
  }
}

TEST(McSlabMerge, RandomSolidsAwayFromTheBorderGiveClosedSurfaces) {
  std::mt19937 rng(3);
  for (int trial = 0; trial < 6; ++trial) {
    VoxelGrid v = random_voxels(rng, 9, 8 + trial, 10, 0.5);
    for (std::size_t i = 0; i < v.states.size(); ++i) {
      const uint64_t x = i % v.nx, y = i / v.nx % v.ny, z = i / (v.nx * v.ny);
      if (x % (v.nx - 1) == 0 || y % (v.ny - 1) == 0 || z % (v.nz - 1) == 0) v.states[i] = Outside;
    }
    const Mesh m = voxel_marching_cubes(v);
    EXPECT_TRUE(closed_and_oriented(m));
    EXPECT_TRUE(all_positions_distinct(m));
  }
}

TEST(McSlabMerge, SlabsThatDisagreeOnTheirPlaneAreAnInternalError) {
  McSlab lower, upper;
  lower.keys = {{0, 0, 1, 0}};
  lower.vertices = {{0, 0, 1}};
  upper.keys = {{1, 0, 1, 0}};
  upper.vertices = {{1, 0, 1}};
  EXPECT_THROW(detail::merge_mc_slabs({lower, upper}), InternalError);
  upper.keys = {{0, 0, 1, 0}};
  const Mesh ok = detail::merge_mc_slabs({lower, upper});
  EXPECT_EQ(ok.positions, (std::vector<Vec3>{{0, 0, 1}}));  // the lower slab's vertex
}

TEST(MarchingCubesThreads, OneAndEightWorkersGiveTheSameMesh) {
  std::mt19937 rng(5);
  const VoxelGrid v = random_voxels(rng, 23, 19, 29, 0.4);
  const SdfGrid f = random_field(rng, 21, 17, 27);
  Mesh v1, v8, f1, f8;
  with_worker_count(1, [&] {
    v1 = voxel_marching_cubes(v);
    f1 = sdf_marching_cubes(f, -0.2);
  });
  with_worker_count(8, [&] {
    v8 = voxel_marching_cubes(v);
    f8 = sdf_marching_cubes(f, -0.2);
  });
  EXPECT_EQ(v1.positions, v8.positions);
  EXPECT_EQ(v1.indices, v8.indices);
  ASSERT_EQ(f1.positions.size(), f8.positions.size());
  EXPECT_EQ(std::memcmp(f1.positions.data(), f8.positions.data(), f1.positions.size() * sizeof(Vec3)), 0);
  EXPECT_EQ(f1.indices, f8.indices);
}

TEST(VoxelPathLarge, FineSphereStaysClosed) {
  const Mesh sphere = test::make_icosphere(5, 1.0);
  VoxelGrid g = voxelize(sphere.positions, sphere.indices, 200, 3);
  dilate_voxels(g, 1);
  const Mesh m = voxel_marching_cubes(g);
  EXPECT_EQ(test::open_or_overfull_edges(m), 0u);
  EXPECT_GT(test::signed_volume(m), 4.18);  // beyond the sphere's 4.19 less the polyhedron's flattening
}

}  // namespace
}  // namespace morvane
