// GLB save and load throughput on a 1M-triangle torus, and the load of the same mesh as JSON glTF
// with its buffer in a separate file and embedded as a data URI. One line per case: file size,
// seconds (best of 3) and MB/s.
// With a path argument the GLB is also kept there, for timing other readers on the same file.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>

#include "bench_util.hpp"
#include "io/gltf_io.hpp"
#include "support/test_meshes.hpp"

namespace {

double file_megabytes(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return static_cast<double>(info.st_size) / 1e6;
}

double best_seconds(const std::function<void()>& run) {
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    morvane::bench::Stopwatch clock;
    run();
    best = std::min(best, clock.seconds());
  }
  return best;
}

// The GLB's binary chunk as a separate file, with a JSON document that names it.
void split_glb(const std::string& glb_path, const std::string& folder) {
  std::ifstream in(glb_path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  uint32_t json_length = 0;
  std::copy_n(bytes.data() + 12, 4, reinterpret_cast<char*>(&json_length));
  std::string json = bytes.substr(20, json_length);
  const std::string binary = bytes.substr(28 + json_length);
  const std::string key = R"("buffers":[{)";
  json.insert(json.find(key) + key.size(), R"("uri":"mesh.bin",)");
  std::ofstream(folder + "/mesh.gltf", std::ios::binary) << json;
  std::ofstream(folder + "/mesh.bin", std::ios::binary) << binary;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace morvane;
  const Mesh torus = test::make_torus(1.0, 0.35, 1024, 512);
  const io::MeshData mesh{torus.positions, torus.indices, std::nullopt, std::nullopt};
  char folder_pattern[] = "/tmp/morvane_gltf_io_bench.XXXXXX";
  const std::string folder = mkdtemp(folder_pattern);
  const std::string glb = folder + "/mesh.glb";

  const double save_s = best_seconds([&] { io::write_glb(glb, mesh); });
  const double mb = file_megabytes(glb);
  std::size_t triangles = 0;
  const double load_s = best_seconds([&] { triangles = io::read_gltf(glb).triangles.size(); });
  std::printf("GLB save         %zu triangles, %.1f MB: %.3f s (%.0f MB/s)\n", mesh.triangles.size(), mb, save_s,
              mb / save_s);
  std::printf("GLB load         %zu triangles, %.1f MB: %.3f s (%.0f MB/s)\n", triangles, mb, load_s, mb / load_s);

  split_glb(glb, folder);
  const double split_s = best_seconds([&] { triangles = io::read_gltf(folder + "/mesh.gltf").triangles.size(); });
  std::printf("glTF+bin load    %zu triangles, %.1f MB: %.3f s (%.0f MB/s), peak rss %.0f MiB\n", triangles,
              file_megabytes(folder + "/mesh.bin"), split_s, file_megabytes(folder + "/mesh.bin") / split_s,
              bench::peak_rss_mib());

  const std::string embedded = folder + "/embedded.gltf";
  io::write_gltf(embedded, mesh.positions, mesh.triangles);
  const double embedded_s = best_seconds([&] { triangles = io::read_gltf(embedded).triangles.size(); });
  std::printf("glTF data URI    %zu triangles, %.1f MB: %.3f s (%.0f MB/s)\n", triangles, file_megabytes(embedded),
              embedded_s, file_megabytes(embedded) / embedded_s);

  if (argc > 1) io::write_glb(argv[1], mesh);
  for (const char* name : {"/mesh.glb", "/mesh.gltf", "/mesh.bin", "/embedded.gltf"}) {
    unlink((folder + name).c_str());
  }
  rmdir(folder.c_str());
}
