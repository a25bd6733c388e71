// Times the surface stages on a torus of about one million triangles: Taubin and bilateral
// smoothing, pinhole sealing, shrink-fit and attribute transfer. One line per case on stdout.
#include <cstdio>
#include <random>
#include <vector>

#include "bench_util.hpp"
#include "core/attribute_transfer.hpp"
#include "core/point_grid.hpp"
#include "core/seal_pinholes.hpp"
#include "core/shrink_fit.hpp"
#include "core/smooth.hpp"
#include "support/test_meshes.hpp"

using namespace morvane;

namespace {

void report(const char* name, std::size_t items, const char* unit, double seconds) {
  std::printf("%-34s %9zu %-9s %8.1f ms\n", name, items, unit, seconds * 1e3);
}

// Removes every 997th face (a 3-vertex hole each) and, from every 2003rd quad, both faces.
std::vector<Tri> punch_holes(const std::vector<Tri>& faces) {
  std::vector<Tri> kept;
  for (std::size_t f = 0; f < faces.size(); ++f) {
    if (f % 997 == 500 || (f / 2) % 2003 == 1000) continue;
    kept.push_back(faces[f]);
  }
  return kept;
}

}  // namespace

int main() {
  const Mesh input = test::make_torus(2.0, 0.5, 1000, 500);
  std::printf("input torus: %zu vertices, %zu triangles\n", input.positions.size(), input.indices.size());
  bench::Stopwatch clock;

  Mesh m = input;
  clock.restart();
  taubin_smooth(m.positions, m.indices, 5, 0.5);
  report("taubin_smooth x5", m.indices.size(), "faces", clock.seconds());

  m = input;
  clock.restart();
  bilateral_smooth(m.positions, m.indices, 5, 0.3);
  report("bilateral_smooth x5", m.indices.size(), "faces", clock.seconds());

  std::vector<Tri> closed = input.indices;
  clock.restart();
  const uint64_t none = seal_pinholes(input.positions, closed, 8).filled;
  report("seal_pinholes (closed)", closed.size(), "faces", clock.seconds());
  std::vector<Tri> holed = punch_holes(input.indices);
  clock.restart();
  const uint64_t sealed = seal_pinholes(input.positions, holed, 8).filled;
  report("seal_pinholes (holes)", holed.size(), "faces", clock.seconds());
  std::printf("  sealed %llu holes, %llu on the closed mesh\n", static_cast<unsigned long long>(sealed),
              static_cast<unsigned long long>(none));

  clock.restart();
  const PointGrid grid = build_point_grid(input.positions);
  report("build_point_grid", input.positions.size(), "points", clock.seconds());
  std::vector<Vec3> strayed = input.positions;
  strayed.push_back({1e6, 0, 0});
  clock.restart();
  const PointGrid stray_grid = build_point_grid(strayed);
  report("build_point_grid (stray point)", strayed.size(), "points", clock.seconds());
  // Queries near the surface, as proxy vertices are: the torus points moved up to 0.02 away.
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> jitter(-0.02, 0.02);
  std::vector<Vec3> queries;
  for (const Vec3& p : input.positions) {
    for (int copy = 0; copy < 2; ++copy) queries.push_back(p + Vec3{jitter(rng), jitter(rng), jitter(rng)});
  }
  for (const PointGrid* g : {&grid, &stray_grid}) {
    clock.restart();
    uint64_t checksum = 0;
    for (const Vec3& q : queries) checksum += point_grid_nearest(*g, q).value_or(0);
    report(g == &grid ? "point_grid_nearest (1 thread)" : "point_grid_nearest (stray, 1 th.)", queries.size(),
           "queries", clock.seconds());
    std::printf("  checksum %llu\n", static_cast<unsigned long long>(checksum));
  }

  const Mesh proxy = test::make_torus(2.0, 0.53, 700, 350);
  std::vector<Vec3> fitted = proxy.positions;
  clock.restart();
  shrink_fit(fitted, input.positions, 0.02);
  report("shrink_fit", fitted.size(), "vertices", clock.seconds());

  std::vector<Uv> uvs(3 * input.indices.size(), Uv{0.5f, 0.25f});
  clock.restart();
  const TransferredAttributes a = transfer_attributes(input.positions, input.indices, std::nullopt, uvs,
                                                      proxy.positions, proxy.indices, true, true);
  report("transfer_attributes (normals+uvs)", proxy.indices.size(), "faces", clock.seconds());
  clock.restart();
  const TransferredAttributes own = transfer_attributes(input.positions, input.indices, std::nullopt, std::nullopt,
                                                        proxy.positions, proxy.indices, false, false);
  report("transfer_attributes (own normals)", proxy.indices.size(), "faces", clock.seconds());
  std::printf("peak memory %.0f MiB (%zu + %zu corner normals)\n", bench::peak_rss_mib(), a.normals->size(),
              own.normals->size());
  return 0;
}
