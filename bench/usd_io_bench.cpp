// Read and write throughput of USD crate files and USDA text layers for a mesh of about a million
// triangles (a wavy 708 x 708 grid). Prints one line per case, the best of three runs;
// the files stay in the directory given as the first argument (default: the temp directory).
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_util.hpp"
#include "io/usd.hpp"
#include "io/usdc.hpp"

namespace {

using namespace morvane;

io::MeshData make_grid(uint32_t n) {
  io::MeshData mesh;
  for (uint32_t j = 0; j <= n; ++j) {
    for (uint32_t i = 0; i <= n; ++i) {
      mesh.positions.push_back({i * 0.01, j * 0.01, 0.05 * std::sin(i * 0.1) * std::cos(j * 0.07)});
    }
  }
  for (uint32_t j = 0; j < n; ++j) {
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = j * (n + 1) + i;
      mesh.triangles.push_back({a, a + 1, a + n + 2});
      mesh.triangles.push_back({a, a + n + 2, a + n + 1});
    }
  }
  return mesh;
}

template <class F>
double best_of(int runs, F&& f) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    bench::Stopwatch watch;
    f();
    best = std::min(best, watch.seconds());
  }
  return best;
}

void report(const char* what, const std::string& path, std::size_t triangles, double seconds) {
  const double mib = static_cast<double>(std::filesystem::file_size(path)) / (1024.0 * 1024.0);
  std::printf("%-12s %9zu triangles %8.1f MiB %8.3f s %8.1f MiB/s %6.2f Mtri/s\n", what, triangles, mib, seconds,
              mib / seconds, static_cast<double>(triangles) / seconds / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
  const io::MeshData mesh = make_grid(708);
  const std::string crate = dir + "/usd_io_bench.usdc";
  const std::string text = dir + "/usd_io_bench.usda";
  std::size_t read_triangles = 0;

  std::size_t encoded = 0;
  const double encode_seconds = best_of(3, [&] { encoded = io::encode_usdc(mesh).size(); });
  std::printf("%-12s %9zu triangles %8.1f MiB %8.3f s (in memory)\n", "usdc encode", mesh.triangles.size(),
              static_cast<double>(encoded) / (1024.0 * 1024.0), encode_seconds);
  report("usdc write", crate, mesh.triangles.size(), best_of(3, [&] { io::write_usdc(crate, mesh); }));
  report("usdc read", crate, mesh.triangles.size(),
         best_of(3, [&] { read_triangles = io::read_usd(crate).triangles.size(); }));
  report("usda write", text, mesh.triangles.size(), best_of(3, [&] { io::write_usda(text, mesh); }));
  report("usda read", text, mesh.triangles.size(),
         best_of(3, [&] { read_triangles = io::read_usd(text).triangles.size(); }));
  return read_triangles == mesh.triangles.size() ? 0 : 1;
}
