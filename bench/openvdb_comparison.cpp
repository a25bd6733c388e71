// Side by side in one run, on the same input at the same voxel size, alternating the sides and
// taking the median of the runs: our distance field (band, sign, far field) plus marching cubes,
// and our whole default proxy pipeline, against OpenVDB's narrow-band level set (meshToLevelSet,
// half-width 2 voxels) plus its mesh extraction (volumeToMesh at one voxel out). Each side runs
// with one worker and with the whole pool; peak memory is taken per side and run.
// Built only when OpenVDB is installed (scripts/bench-setup installs it); the project does not need it.
//
// Usage: openvdb_comparison [--res 128,256,512] [--runs 3] [--aspect 1,1,1]
#include <cstdio>
#include <string>
#include <vector>

#include <openvdb/openvdb.h>
#include <openvdb/tools/MeshToVolume.h>
#include <openvdb/tools/VolumeToMesh.h>
#include <tbb/task_arena.h>

#include "bench_input.hpp"
#include "bench_util.hpp"
#include "core/far_field.hpp"
#include "core/parallel.hpp"
#include "core/proxy.hpp"
#include "core/sdf.hpp"
#include "core/sdf_marching_cubes.hpp"

namespace morvane {
namespace {

struct Run {
  double seconds = 0;
  double peak_mib = 0;
  std::string stages;
};

// The distance-field path up to its surface, with the pipeline's default settings.
Run ours_field(const Mesh& mesh, uint64_t res, double& cell) {
  bench::reset_peak_rss();
  bench::StageCapture capture;
  bench::Stopwatch clock;
  {
    SdfGrid grid = build_sdf(mesh.positions, mesh.indices, res, 1, 2.0, 1.0);
    cell = grid.cell;
    sdf_far_field(grid, grid.cell);
    const Mesh surface = sdf_marching_cubes(grid, grid.cell);
  }
  const double seconds = clock.seconds();
  return {seconds, bench::peak_rss_mib(), bench::stage_text(capture.stages())};
}

Run ours_pipeline(const Mesh& mesh, uint64_t res) {
  bench::reset_peak_rss();
  bench::StageCapture capture;
  bench::Stopwatch clock;
  ProxyParams params;
  params.voxel_res = res;
  { const Mesh proxy = generate_proxy_mesh(mesh.positions, mesh.indices, params); }
  const double seconds = clock.seconds();
  return {seconds, bench::peak_rss_mib(), bench::stage_text(capture.stages())};
}

Run openvdb_level_set(const std::vector<openvdb::Vec3s>& points, const std::vector<openvdb::Vec3I>& triangles,
                      double cell) {
  bench::reset_peak_rss();
  bench::Stopwatch clock;
  {
    const auto transform = openvdb::math::Transform::createLinearTransform(cell);
    const auto grid = openvdb::tools::meshToLevelSet<openvdb::FloatGrid>(*transform, points, triangles, 2.0f);
    std::vector<openvdb::Vec3s> out_points;
    std::vector<openvdb::Vec3I> out_triangles;
    std::vector<openvdb::Vec4I> out_quads;
    openvdb::tools::volumeToMesh(*grid, out_points, out_triangles, out_quads, cell);
  }
  const double seconds = clock.seconds();
  return {seconds, bench::peak_rss_mib(), ""};
}

double median_seconds(const std::vector<Run>& runs) {
  std::vector<double> s;
  for (const Run& r : runs) s.push_back(r.seconds);
  return bench::median(s);
}

double largest_peak(const std::vector<Run>& runs) {
  double peak = 0;
  for (const Run& r : runs) peak = std::max(peak, r.peak_mib);
  return peak;
}

// The stage line of the run with the median time.
const std::string& median_stages(const std::vector<Run>& runs) {
  const double m = median_seconds(runs);
  for (const Run& r : runs) {
    if (r.seconds == m) return r.stages;
  }
  return runs.front().stages;
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
  using namespace morvane;
  const bench::Options options = bench::parse_options(argc, argv);
  openvdb::initialize();
  const Mesh mesh = bench::bench_mesh(options);
  std::vector<openvdb::Vec3s> points;
  for (const Vec3& p : mesh.positions) points.emplace_back(p[0], p[1], p[2]);
  std::vector<openvdb::Vec3I> triangles;
  for (const Tri& t : mesh.indices) triangles.emplace_back(t[0], t[1], t[2]);
  std::printf("input: bumpy sphere scaled by (%g, %g, %g), %zu triangles; median of %d runs, sides alternating\n",
              options.aspect[0], options.aspect[1], options.aspect[2], mesh.indices.size(), options.runs);
  std::printf("%4s %7s | %-28s | %-22s | %-30s\n", "res", "workers", "field + MC: ours / OpenVDB",
              "pipeline / OpenVDB", "peak MiB: field, pipeline, VDB");
  for (uint64_t res : options.resolutions) {
    for (int workers : {1, static_cast<int>(pool_worker_count())}) {
      std::vector<Run> field, pipeline, vdb;
      for (int run = 0; run < options.runs; ++run) {
        double cell = 0;
        with_worker_count(workers, [&] { field.push_back(ours_field(mesh, res, cell)); });
        tbb::task_arena(workers).execute([&] { vdb.push_back(openvdb_level_set(points, triangles, cell)); });
        with_worker_count(workers, [&] { pipeline.push_back(ours_pipeline(mesh, res)); });
      }
      const double f = median_seconds(field), p = median_seconds(pipeline), v = median_seconds(vdb);
      std::printf("%4llu %7d | %6.3f s / %6.3f s = %5.2f  | %6.3f s = %5.2f       | %6.0f, %6.0f, %6.0f\n",
                  static_cast<unsigned long long>(res), workers, f, v, f / v, p, p / v, largest_peak(field),
                  largest_peak(pipeline), largest_peak(vdb));
      std::printf("             field stages: %s\n             pipeline stages: %s\n", median_stages(field).c_str(),
                  median_stages(pipeline).c_str());
      std::fflush(stdout);
    }
  }
}
