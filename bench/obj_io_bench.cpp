// OBJ save and load throughput on a 1.3M-triangle sphere, with and without per-corner attributes.
// Prints one line per case: file size, seconds and MB/s of file text.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_util.hpp"
#include "io/obj.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

morvane::io::MeshData sphere(bool attributes) {
  morvane::Mesh m = morvane::test::make_icosphere(8);
  morvane::io::MeshData mesh{std::move(m.positions), std::move(m.indices), std::nullopt, std::nullopt};
  if (attributes) {
    std::vector<morvane::Uv> uvs;
    std::vector<morvane::Vec3> normals;
    for (const morvane::Tri& t : mesh.triangles) {
      for (const uint32_t v : t) {
        const morvane::Vec3& p = mesh.positions[v];
        uvs.push_back({static_cast<float>(p[0] * 0.5 + 0.5), static_cast<float>(p[1] * 0.5 + 0.5)});
        normals.push_back(p * (1.0 / morvane::length(p)));
      }
    }
    mesh.uvs = std::move(uvs);
    mesh.normals = std::move(normals);
  }
  return mesh;
}

double file_megabytes(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return static_cast<double>(info.st_size) / 1e6;
}

}  // namespace
}  // namespace morvane

int main() {
  using morvane::bench::Stopwatch;
  const std::string path = "/tmp/morvane_obj_io_bench." + std::to_string(getpid()) + ".obj";
  for (const bool attributes : {false, true}) {
    const morvane::io::MeshData mesh = morvane::sphere(attributes);
    Stopwatch clock;
    morvane::io::write_obj(path, mesh);
    const double save_s = clock.seconds();
    const double mb = morvane::file_megabytes(path);
    clock.restart();
    const morvane::io::MeshData loaded = morvane::io::read_obj(path);
    const double load_s = clock.seconds();
    std::printf("%-16s %zu triangles, %.1f MB: save %.2f s (%.0f MB/s), load %.2f s (%.0f MB/s), peak rss %.0f MiB\n",
                attributes ? "uvs+normals" : "positions only", loaded.triangles.size(), mb, save_s, mb / save_s,
                load_s, mb / load_s, morvane::bench::peak_rss_mib());
  }
  unlink(path.c_str());
}
