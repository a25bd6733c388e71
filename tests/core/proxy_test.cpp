#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>

#include "core/closest_point.hpp"
#include "core/core_errors.hpp"
#include "core/parallel.hpp"
#include "core/proxy.hpp"
#include "core/proxy_promise.hpp"
#include "support/captured_progress.hpp"
#include "support/mesh_checks.hpp"
#include "support/proxy_settings.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

using test::make_box;
using test::make_icosphere;
using test::make_torus;

Mesh run_capturing(const Mesh& input, const ProxyParams& params, std::string& log) {
  test::CapturedProgress progress;
  Mesh out = generate_proxy_mesh(input.positions, input.indices, params);
  log = progress.take();
  return out;
}

Mesh run(const Mesh& input, const ProxyParams& params) {
  std::string log;
  return run_capturing(input, params, log);
}

ProxyParams voxel_params(uint64_t res) {
  ProxyParams p;
  p.use_sdf = false;
  p.voxel_res = res;
  return p;
}

ProxyParams sdf_params(uint64_t res) {
  ProxyParams p;
  p.voxel_res = res;
  return p;
}

// Unsigned distance from p to the nearest triangle of m.
double distance_to_surface(const Mesh& m, const Vec3& p) {
  double best = std::numeric_limits<double>::infinity();
  for (const Tri& t : m.indices) {
    const Vec3 q = closest_point_on_triangle(p, m.positions[t[0]], m.positions[t[1]], m.positions[t[2]]);
    best = std::min(best, length(p - q));
  }
  return best;
}

void expect_closed(const Mesh& proxy) {
  ASSERT_GT(proxy.indices.size(), 0u);
  EXPECT_EQ(test::open_or_overfull_edges(proxy), 0u);
  EXPECT_GT(test::signed_volume(proxy), 0.0);
}

void expect_closed_and_enclosing(const Mesh& proxy, const Mesh& input) {
  expect_closed(proxy);
  for (const Vec3& p : input.positions) EXPECT_NEAR(test::winding_number(proxy, p), 1.0, 1e-6);
}

Mesh two_touching_boxes() { return test::merge(make_box({0, 0, 0}, {1, 1, 1}), make_box({1, 0, 0}, {2, 0.5, 0.5})); }

class ProxyOnShapes : public testing::TestWithParam<bool> {};

TEST_P(ProxyOnShapes, ClosedInputsGiveClosedEnclosingProxies) {
  const bool use_sdf = GetParam();
  for (const Mesh& input : {make_icosphere(3), make_torus(1.0, 0.35, 48, 24), two_touching_boxes()}) {
    ProxyParams params = use_sdf ? sdf_params(40) : voxel_params(40);
    if (use_sdf) {
      expect_closed_and_enclosing(run(input, params), input);
    } else {
      expect_closed(run(input, params));
    }
  }
}

// The voxel surface runs through the centres of the outermost marked cells and shrink-fit pulls
// it onto input vertices, so it encloses a smooth input only when dilated and left unfitted.
// (A box corner lying exactly on a sample point stays outside the chamfer that cuts the corner.)
TEST(VoxelProxy, DilatedProxyEnclosesSmoothInputs) {
  for (const Mesh& input : {make_icosphere(3), make_torus(1.0, 0.35, 48, 24)}) {
    ProxyParams params = voxel_params(40);
    params.offset = 2.0;
    params.project = 0.0;
    expect_closed_and_enclosing(run(input, params), input);
  }
}

TEST_P(ProxyOnShapes, SameMeshWithOneWorkerAndWithEight) {
  ProxyParams params = GetParam() ? sdf_params(40) : voxel_params(40);
  params.remesh = 2;
  const Mesh input = make_torus(1.0, 0.35, 48, 24);
  Mesh one, eight;
  with_worker_count(1, [&] { one = run(input, params); });
  with_worker_count(8, [&] { eight = run(input, params); });
  EXPECT_EQ(one.indices, eight.indices);
  EXPECT_EQ(one.positions, eight.positions);
}

TEST_P(ProxyOnShapes, EmptyInputGivesEmptyProxyAndSummary) {
  std::string log;
  Mesh proxy = run_capturing(Mesh{}, GetParam() ? sdf_params(32) : voxel_params(32), log);
  EXPECT_TRUE(proxy.positions.empty());
  EXPECT_TRUE(proxy.indices.empty());
  EXPECT_NE(log.find("  proxy: 0 vertices, 0 faces\n"), std::string::npos);
}

// A face with a NaN or infinite corner cannot be placed in the grid: wrapping the rest would give
// a proxy with a hole where it is (or a hollow shell once the flood fill leaks in).
TEST_P(ProxyOnShapes, NonFiniteVerticesOfFacesAreRefused) {
  Mesh input = make_icosphere(2);
  const auto bad = static_cast<uint32_t>(input.positions.size());
  input.positions.push_back({std::numeric_limits<double>::infinity(), 0, 0});
  input.positions.push_back({std::nan(""), 0, 0});
  const ProxyParams params = GetParam() ? sdf_params(32) : voxel_params(32);
  EXPECT_GT(run(input, params).indices.size(), 0u);  // unused vertices do not matter

  input.indices.push_back({bad + 1, 2, 3});
  input.indices.push_back({0, 1, bad});
  try {
    run(input, params);
    ADD_FAILURE() << "no error";
  } catch (const InputError& e) {
    EXPECT_EQ(std::string(e.what()), fmt::format("vertex {} of face {} has a non-finite coordinate (nan, 0, 0)",
                                                 bad + 1, input.indices.size() - 2));
  }
}

TEST_P(ProxyOnShapes, OutOfRangeIndexIsAnInternalError) {
  Mesh input = make_box({0, 0, 0}, {1, 1, 1});
  input.indices.push_back({0, 1, 8});
  EXPECT_THROW(run(input, GetParam() ? sdf_params(16) : voxel_params(16)), InternalError);
}

INSTANTIATE_TEST_SUITE_P(BothPaths, ProxyOnShapes, testing::Bool(),
                         [](const auto& info) { return info.param ? "DistanceField" : "Voxel"; });

TEST(DistanceFieldProxy, LiesNearTheOffsetSurface) {
  const Mesh input = make_icosphere(3);
  for (double offset : {0.1, 2.0}) {
    ProxyParams params = sdf_params(40);
    params.offset = offset;
    Mesh proxy = run(input, params);
    expect_closed_and_enclosing(proxy, input);
    const double cell = 2.0 / 40;  // longest side of the sphere's box over the resolution
    for (const Vec3& p : proxy.positions) EXPECT_NEAR(distance_to_surface(input, p), offset * cell, 0.05 * cell);
  }
}

TEST(DistanceFieldProxy, LargeOffsetsStayClosed) {
  const Mesh input = make_icosphere(2);
  for (double offset : {2.0, 10.0}) {
    ProxyParams params = sdf_params(24);
    params.offset = offset;
    expect_closed_and_enclosing(run(input, params), input);
  }
}

void expect_in_order(const std::string& log, std::initializer_list<const char*> lines) {
  std::size_t at = 0;
  for (const char* line : lines) {
    const std::size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\nin:\n" << log;
    at = found;
  }
}

TEST(DistanceFieldProxy, StagesAppearInOrder) {
  std::string log;
  run_capturing(make_icosphere(2), sdf_params(24), log);
  expect_in_order(log, {"  sdf band: starting (0 items)\n", "  sdf sign: starting", "  sdf far field (EDT): starting",
                        "  marching cubes: starting", "  Taubin smooth: starting (5 items)",
                        "  project to offset surface (0.10 cells): starting", "  proxy: "});
}

TEST(VoxelProxy, StagesAppearInOrder) {
  std::string log;
  run_capturing(make_icosphere(2), voxel_params(24), log);
  expect_in_order(log, {"  voxelize: starting (0 items)\n", "  flood-fill exterior: starting",
                        "  marching cubes: starting", "  Taubin smooth: starting (5 items)",
                        "  shrink-fit (2.00 voxels = 0.1667 world): starting", "  proxy: "});
  EXPECT_EQ(log.find("dilate"), std::string::npos);
}

TEST(VoxelProxy, OffsetRoundsToDilationPasses) {
  for (auto [offset, expected] : {std::pair{0.5, "dilate (\u00d71)"}, std::pair{1.5, "dilate (\u00d72)"}}) {
    ProxyParams params = voxel_params(24);
    params.offset = offset;
    std::string log;
    Mesh proxy = run_capturing(make_icosphere(2), params, log);
    EXPECT_NE(log.find(std::string("  ") + expected + ": starting (0 items)\n"), std::string::npos) << log;
    expect_closed(proxy);
  }
  for (double offset : {0.1, -0.7, std::nan("")}) {
    ProxyParams params = voxel_params(16);
    params.offset = offset;
    std::string log;
    run_capturing(make_icosphere(1), params, log);
    EXPECT_EQ(log.find("dilate"), std::string::npos) << offset;
  }
}

TEST(VoxelProxy, DilatedSolidStaysClosedOnEverySide) {
  ProxyParams params = voxel_params(24);
  params.offset = 3.0;
  params.smooth = 0;
  params.project = 0;
  const Mesh input = make_box({0, 0, 0}, {1, 1, 1});
  expect_closed_and_enclosing(run(input, params), input);
}

TEST(VoxelProxy, OffsetBeyondTheLargestGridIsRefused) {
  ProxyParams params = voxel_params(8);
  for (double offset : {509.6, 1e30, double(INFINITY)}) {
    params.offset = offset;
    EXPECT_THROW(run(make_box({0, 0, 0}, {1, 1, 1}), params), SettingsError) << offset;
  }
}

TEST(DistanceFieldProxy, ExtentsBeyondTheFieldsFloatsAreRefused) {
  const Mesh sphere = make_icosphere(1);
  for (double scale : {1e-25, 1e25, 1e300}) {
    Mesh scaled = sphere;
    for (Vec3& p : scaled.positions) p = p * scale;
    EXPECT_THROW(run(scaled, sdf_params(16)), InputError) << scale;
    const Mesh voxel_proxy = run(scaled, voxel_params(16));  // the voxel grid has no f32 values
    EXPECT_GT(voxel_proxy.indices.size(), 0u);
    EXPECT_EQ(test::open_or_overfull_edges(voxel_proxy), 0u);
  }
  for (double scale : {1e-15, 1e15}) {
    Mesh scaled = sphere;
    for (Vec3& p : scaled.positions) p = p * scale;
    expect_closed(run(scaled, sdf_params(16)));
  }
  // A box wider than a double can measure, on either path.
  const Mesh huge = make_box({-1e308, -1e308, -1e308}, {1e308, 1e308, 1e308});
  EXPECT_THROW(run(huge, sdf_params(16)), InputError);
  EXPECT_THROW(run(huge, voxel_params(16)), InputError);
}

// A box of side 1e-7 at 1e6: its cell would span a few doubles, so vertices would merge and faces
// flatten. Near the origin the same box wraps, and so does a larger one far out.
TEST_P(ProxyOnShapes, CellsFinerThanTheCoordinatesCanResolveAreRefused) {
  const ProxyParams params = GetParam() ? sdf_params(128) : voxel_params(128);
  const Mesh tiny = make_box({0, 0, 0}, {1e-7, 0.6e-7, 0.3e-7});
  Mesh far = tiny;
  for (Vec3& p : far.positions) p = p + Vec3{1e6, 1e6, 1e6};
  try {
    run(far, params);
    ADD_FAILURE() << "not refused";
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("move the mesh near the origin"), std::string::npos) << e.what();
  }
  expect_closed(run(tiny, params));
  Mesh larger = make_box({0, 0, 0}, {1e-4, 0.6e-4, 0.3e-4});
  for (Vec3& p : larger.positions) p = p + Vec3{1e6, 1e6, 1e6};
  Mesh proxy = run(larger, params);
  EXPECT_TRUE(test::check_promise(proxy).holds());
  for (Vec3& p : proxy.positions) p = p - Vec3{1e6, 1e6, 1e6};  // the volume's sum cancels far out
  expect_closed(proxy);
}

// A closed mesh spoiled in one place: the guard removes the faces that break the promise, seals the
// hole and leaves the rest as it was.
TEST(ProxyPromiseGuard, MendsWhatBreaksThePromiseLocally) {
  const Mesh sphere = make_icosphere(3);
  for (const char* spoil : {"hole", "face wound backwards", "face twice", "flat face"}) {
    SCOPED_TRACE(spoil);
    Mesh m = sphere;
    const Tri t = m.indices[100];
    if (spoil == std::string("hole")) m.indices.erase(m.indices.begin() + 100);
    if (spoil == std::string("face wound backwards")) std::swap(m.indices[100][1], m.indices[100][2]);
    if (spoil == std::string("face twice")) m.indices.push_back(t);
    if (spoil == std::string("flat face")) m.positions[t[2]] = (m.positions[t[0]] + m.positions[t[1]]) * 0.5;
    Mesh mended = m;
    test::CapturedProgress progress;
    EXPECT_GT(keep_proxy_promise(mended), 0u);
    EXPECT_NE(progress.take().find("  mended the proxy: replaced "), std::string::npos);
    EXPECT_TRUE(test::check_promise(mended).holds());
    EXPECT_GT(test::signed_volume(mended), 0.0);
    std::size_t kept = 0;
    for (const Tri& f : m.indices) {
      for (const Tri& g : mended.indices) {
        if (mended.positions[g[0]] == m.positions[f[0]] && mended.positions[g[1]] == m.positions[f[1]] &&
            mended.positions[g[2]] == m.positions[f[2]]) {
          ++kept;
          break;
        }
      }
    }
    EXPECT_GT(kept + 40, m.indices.size());
  }
  Mesh sound = sphere;
  EXPECT_EQ(keep_proxy_promise(sound), 0u);
  EXPECT_EQ(sound.indices, sphere.indices);
}

TEST(ProxyPromiseGuard, RefusesWhatItCannotMend) {
  Mesh lone{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}};  // only a two-sided fin would close it
  try {
    keep_proxy_promise(lone);
    ADD_FAILURE() << "not refused";
  } catch (const InputError& e) {
    EXPECT_EQ(std::string(e.what()), "the proxy could not be kept closed and unfolded: the edge from (0, 0, 0) to "
                                     "(1, 0, 0) has 1 face instead of two");
  }
}

// All vertices at one point: the target count gives edges of a tiny fraction of the zero extent,
// while the grid sizes such an input as one unit; remeshing must not split toward that edge.
TEST_P(ProxyOnShapes, PointInputWithTargetFacesGivesASmallProxy) {
  Mesh point;
  point.positions.assign(10, Vec3{0.5, 0.5, 0.5});
  for (uint32_t i = 0; i + 2 < 10; ++i) point.indices.push_back({i, i + 1, i + 2});
  ProxyParams params = GetParam() ? sdf_params(32) : voxel_params(32);
  test::set_target_faces(params, point, 10000);
  const Mesh proxy = run(point, params);
  EXPECT_LT(proxy.indices.size(), 1000u);
  if (!proxy.indices.empty()) EXPECT_EQ(test::open_or_overfull_edges(proxy), 0u);
}

TEST(ResolutionForTargetFaces, UnitCubeAndLimits) {
  const Mesh cube = make_box({0, 0, 0}, {1, 1, 1});
  auto [res, edge] = resolution_for_target_faces(cube.positions, cube.indices, 1000);
  EXPECT_EQ(res, 32u);
  EXPECT_NEAR(edge, std::sqrt(24.0 / (1000 * std::sqrt(3.0))), 1e-12);

  EXPECT_EQ(resolution_for_target_faces(cube.positions, cube.indices, 3),
            resolution_for_target_faces(cube.positions, cube.indices, 16));

  // Faces without area (none at all, or all on a line) take the coarsest grid and edges of two cells.
  for (const std::vector<Tri>& flat : {std::vector<Tri>{}, std::vector<Tri>{{0, 1, 1}, {0, 1, 0}}}) {
    auto [res_flat, edge_flat] = resolution_for_target_faces(cube.positions, flat, 1000);
    EXPECT_EQ(res_flat, 32u);
    EXPECT_DOUBLE_EQ(edge_flat, 1.0 / 16);
  }
  EXPECT_EQ(resolution_for_target_faces({}, {}, 1000).first, 32u);

  // A huge target cannot ask for an edge finer than the 512-cell grid either.
  auto [res_huge, edge_huge] = resolution_for_target_faces(cube.positions, cube.indices, 4294967295u);
  EXPECT_EQ(res_huge, 512u);
  EXPECT_DOUBLE_EQ(edge_huge, 1.0 / 512);

  // The cube in other units, down to extents far below any fixed length.
  for (int exponent : {-60, -45, 30}) {
    const Mesh scaled = test::scaled_by_power_of_two(cube, exponent);
    for (uint32_t target : {1000u, 4294967295u}) {
      const auto unit = resolution_for_target_faces(cube.positions, cube.indices, target);
      const auto [scaled_res, scaled_edge] = resolution_for_target_faces(scaled.positions, scaled.indices, target);
      EXPECT_EQ(scaled_res, unit.first) << exponent;
      EXPECT_EQ(scaled_edge, std::ldexp(unit.second, exponent)) << exponent;
    }
  }
}

TEST(ResolutionForTargetFaces, IgnoresNonFiniteAreasAndVertices) {
  Mesh cube = make_box({0, 0, 0}, {1, 1, 1});
  const auto clean = resolution_for_target_faces(cube.positions, cube.indices, 1000);
  cube.positions.push_back({std::nan(""), 0, 0});
  cube.indices.push_back({0, 1, 8});
  EXPECT_EQ(resolution_for_target_faces(cube.positions, cube.indices, 1000), clean);
}

}  // namespace
}  // namespace morvane
