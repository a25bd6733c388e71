// End-to-end figures: the whole default proxy pipeline on the bumpy sphere of about 1.3M triangles,
// distance-field and voxel paths, with one worker and with the whole pool (runs alternating, median
// of the runs), the speed-up between them, the peak memory of each case and the stage times of its
// median run; then the file-to-file road of proxy_from_path on an OBJ of it: load, build, transfer
// normals, save.
//
// Usage: pipeline_bench [--res 128,256,512] [--runs 3] [--aspect 1,1,1]
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench_input.hpp"
#include "bench_util.hpp"
#include "core/attribute_transfer.hpp"
#include "core/parallel.hpp"
#include "core/proxy.hpp"
#include "io/mesh_io.hpp"

namespace morvane {
namespace {

struct Run {
  double seconds = 0;
  double peak_mib = 0;
  std::string stages;
  std::size_t faces = 0;
};

Run run_pipeline(const Mesh& mesh, const ProxyParams& params, int workers) {
  Run run;
  bench::reset_peak_rss();
  bench::StageCapture capture;
  bench::Stopwatch clock;
  with_worker_count(workers,
                    [&] { run.faces = generate_proxy_mesh(mesh.positions, mesh.indices, params).indices.size(); });
  run.seconds = clock.seconds();
  run.peak_mib = bench::peak_rss_mib();
  run.stages = bench::stage_text(capture.stages());
  return run;
}

void time_path(const Mesh& mesh, const ProxyParams& params, const char* path_name, int runs) {
  const int all = static_cast<int>(pool_worker_count());
  std::vector<Run> one, many;
  for (int r = 0; r < runs; ++r) {
    one.push_back(run_pipeline(mesh, params, 1));
    many.push_back(run_pipeline(mesh, params, all));
  }
  auto median_run = [](std::vector<Run> v) {
    std::sort(v.begin(), v.end(), [](const Run& a, const Run& b) { return a.seconds < b.seconds; });
    return v[v.size() / 2];
  };
  auto peak = [](const std::vector<Run>& v) {
    double p = 0;
    for (const Run& r : v) p = std::max(p, r.peak_mib);
    return p;
  };
  const Run a = median_run(one), b = median_run(many);
  fmt::print("{} path, voxel_res {}: 1 worker {:.2f} s, {} workers {:.2f} s, speed-up {:.2f}x, {} proxy faces, "
             "peak {:.0f} / {:.0f} MiB\n",
             path_name, params.voxel_res, a.seconds, all, b.seconds, a.seconds / b.seconds, b.faces, peak(one),
             peak(many));
  fmt::print("    1 worker:  {}\n    {} workers: {}\n", a.stages, all, b.stages);
  std::fflush(stdout);
}

void time_file_to_file(const Mesh& mesh) {
  const auto dir = std::filesystem::temp_directory_path() / "morvane_pipeline_bench";
  std::filesystem::create_directories(dir);
  const std::string input = (dir / "input.obj").string(), output = (dir / "proxy.obj").string();
  io::save_mesh(mesh.positions, mesh.indices, input);

  bench::StageCapture capture;
  bench::Stopwatch total, clock;
  io::MeshData data = io::load_mesh(input);
  const double load_s = clock.seconds();
  clock.restart();
  Mesh proxy = generate_proxy_mesh(data.positions, data.triangles, ProxyParams{});
  const double build_s = clock.seconds();
  clock.restart();
  TransferredAttributes attributes = transfer_attributes(data.positions, data.triangles, std::nullopt, std::nullopt,
                                                         proxy.positions, proxy.indices, true, false);
  const double transfer_s = clock.seconds();
  clock.restart();
  io::save_mesh_with_attributes(proxy.positions, proxy.indices, std::move(attributes.uvs),
                                std::move(attributes.normals), output);
  const double save_s = clock.seconds();
  fmt::print("file to file (OBJ, {} MB in): load {:.2f} s, build {:.2f} s, transfer {:.2f} s, save {:.2f} s, "
             "total {:.2f} s\n",
             std::filesystem::file_size(input) / 1000000, load_s, build_s, transfer_s, save_s, total.seconds());
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace morvane

int main(int argc, char** argv) {
  using namespace morvane;
  const bench::Options options = bench::parse_options(argc, argv);
  const Mesh mesh = bench::bench_mesh(options);
  fmt::print("input: bumpy sphere scaled by ({}, {}, {}), {} vertices, {} triangles; median of {} runs\n",
             options.aspect[0], options.aspect[1], options.aspect[2], mesh.positions.size(), mesh.indices.size(),
             options.runs);
  for (uint64_t res : options.resolutions) {
    ProxyParams sdf;
    sdf.voxel_res = res;
    time_path(mesh, sdf, "distance-field", options.runs);
    ProxyParams voxel = sdf;
    voxel.use_sdf = false;
    time_path(mesh, voxel, "voxel", options.runs);
  }
  time_file_to_file(mesh);
}
