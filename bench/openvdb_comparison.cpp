// Side by side in one run, on the same bumpy sphere at the same voxel size: our distance field
// (band, sign, values, far field) plus marching cubes, against OpenVDB's narrow-band level set
// (meshToLevelSet, half-width 2 voxels) plus its mesh extraction (volumeToMesh at one voxel out).
// Built only when OpenVDB is installed (Debian's libopenvdb-dev); the project does not need it.
#include <algorithm>
#include <cstdio>

#include <openvdb/openvdb.h>
#include <openvdb/tools/MeshToVolume.h>
#include <openvdb/tools/VolumeToMesh.h>
#include <tbb/task_arena.h>

#include "bench_util.hpp"
#include "core/far_field.hpp"
#include "core/parallel.hpp"
#include "core/sdf.hpp"
#include "core/sdf_marching_cubes.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

double ours(const Mesh& mesh, uint64_t res, double& cell) {
  bench::Stopwatch clock;
  SdfGrid grid = build_sdf(mesh.positions, mesh.indices, res, 1, 2.0, 1.0);
  cell = grid.cell;
  sdf_far_field(grid, grid.cell);
  const Mesh surface = sdf_marching_cubes(grid, grid.cell);
  return clock.seconds();
}

double openvdb_level_set(const Mesh& mesh, double cell) {
  std::vector<openvdb::Vec3s> points;
  for (const Vec3& p : mesh.positions) points.emplace_back(p[0], p[1], p[2]);
  std::vector<openvdb::Vec3I> triangles;
  for (const Tri& t : mesh.indices) triangles.emplace_back(t[0], t[1], t[2]);
  bench::Stopwatch clock;
  const auto transform = openvdb::math::Transform::createLinearTransform(cell);
  const auto grid = openvdb::tools::meshToLevelSet<openvdb::FloatGrid>(*transform, points, triangles, 2.0f);
  std::vector<openvdb::Vec3s> out_points;
  std::vector<openvdb::Vec3I> out_triangles;
  std::vector<openvdb::Vec4I> out_quads;
  openvdb::tools::volumeToMesh(*grid, out_points, out_triangles, out_quads, cell);
  return clock.seconds();
}

}  // namespace
}  // namespace morvane

int main() {
  using namespace morvane;
  openvdb::initialize();
  const Mesh mesh = test::make_bumpy_sphere(8);
  std::printf("input: %zu triangles\n", mesh.indices.size());
  for (uint64_t res : {128, 256, 512}) {
    for (int workers : {1, static_cast<int>(pool_worker_count())}) {
      tbb::task_arena(workers).execute([&] {
        double cell = 0;
        const double ours_s = ours(mesh, res, cell);
        const double vdb_s = openvdb_level_set(mesh, cell);
        std::printf("res %3llu, %d worker(s): ours %.3f s, OpenVDB %.3f s, ratio ours/OpenVDB %.2f\n",
                    static_cast<unsigned long long>(res), workers, ours_s, vdb_s, ours_s / vdb_s);
        std::fflush(stdout);
      });
    }
  }
}
