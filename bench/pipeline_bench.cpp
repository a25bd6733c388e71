// End-to-end figures: the whole proxy pipeline on a bumpy closed sphere of about 1.3M triangles
// (distance-field and voxel paths, one worker and the whole pool; the stage lines on standard
// error give each stage's time), then the file-to-file road of proxy_from_path on an OBJ of it:
// load, build, transfer normals, save.
#include <cstdio>
#include <filesystem>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "core/attribute_transfer.hpp"
#include "core/parallel.hpp"
#include "core/proxy.hpp"
#include "io/mesh_io.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

void time_pipeline(const Mesh& mesh, const ProxyParams& params, const char* path_name) {
  for (int workers : {1, static_cast<int>(pool_worker_count())}) {
    bench::Stopwatch clock;
    Mesh proxy;
    with_worker_count(workers, [&] { proxy = generate_proxy_mesh(mesh.positions, mesh.indices, params); });
    fmt::print("{} path, voxel_res {}, {} worker(s): {:.2f} s, {} proxy faces, peak {:.0f} MiB\n", path_name,
               params.voxel_res, workers, clock.seconds(), proxy.indices.size(), bench::peak_rss_mib());
  }
}

void time_file_to_file(const Mesh& mesh) {
  const auto dir = std::filesystem::temp_directory_path() / "morvane_pipeline_bench";
  std::filesystem::create_directories(dir);
  const std::string input = (dir / "input.obj").string(), output = (dir / "proxy.obj").string();
  io::save_mesh(mesh.positions, mesh.indices, input);

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

int main() {
  using namespace morvane;
  const Mesh mesh = test::make_bumpy_sphere(8);
  fmt::print("input: {} vertices, {} triangles\n", mesh.positions.size(), mesh.indices.size());
  for (uint64_t res : {128, 256}) {
    ProxyParams sdf;
    sdf.voxel_res = res;
    time_pipeline(mesh, sdf, "distance-field");
    ProxyParams voxel = sdf;
    voxel.use_sdf = false;
    time_pipeline(mesh, voxel, "voxel");
  }
  time_file_to_file(mesh);
}
