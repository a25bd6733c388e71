// Times the stages of the distance-field path on a bumpy closed sphere of about 1.3M triangles:
// sdf band, sdf sign, values, far field and marching cubes, per resolution, with one worker and
// with the whole pool, at the pipeline's default settings (close 1, band 2, level 1 cell).
#include <cmath>
#include <cstdio>
#include <span>


#include "bench_util.hpp"
#include "core/far_field.hpp"
#include "core/parallel.hpp"
#include "core/sdf.hpp"
#include "core/sdf_band.hpp"
#include "core/sdf_marching_cubes.hpp"
#include "core/sdf_sign.hpp"
#include "support/test_meshes.hpp"

namespace morvane {
namespace {

void run_case(const Mesh& mesh, uint64_t res, const char* workers) {
  using bench::Stopwatch;
  Stopwatch clock;
  SdfGrid grid = detail::sdf_layout(mesh.positions, res, 1, 2.0, 1.0);
  const double layout_s = clock.seconds();
  clock.restart();
  sdf_band(mesh.positions, mesh.indices, grid);
  const double band_s = clock.seconds();
  clock.restart();
  sdf_sign(grid, 1);
  const double sign_s = clock.seconds();
  clock.restart();
  sdf_values(grid);
  const double values_s = clock.seconds();
  const double iso = grid.cell;
  clock.restart();
  sdf_far_field(grid, iso);
  const double far_s = clock.seconds();
  clock.restart();
  const Mesh out = sdf_marching_cubes(grid, iso);
  const double mc_s = clock.seconds();
  std::printf(
      "res %3llu %-4s workers: grid %llux%llux%llu  layout %.3f s  band %.3f s  sign %.3f s  values %.3f s  "
      "far field %.3f s  marching cubes %.3f s (%zu faces)  peak %.0f MiB\n",
      static_cast<unsigned long long>(res), workers, static_cast<unsigned long long>(grid.nx),
      static_cast<unsigned long long>(grid.ny), static_cast<unsigned long long>(grid.nz), layout_s, band_s, sign_s,
      values_s, far_s, mc_s, out.indices.size(), bench::peak_rss_mib());
  std::fflush(stdout);
}

}  // namespace
}  // namespace morvane

int main() {
  const morvane::Mesh mesh = morvane::test::make_bumpy_sphere(8);
  std::printf("input: %zu vertices, %zu triangles, pool of %zu workers\n", mesh.positions.size(), mesh.indices.size(),
              morvane::pool_worker_count());
  for (uint64_t res : {128, 256, 512}) {
    morvane::with_worker_count(1, [&] { morvane::run_case(mesh, res, "1"); });
    morvane::run_case(mesh, res, "all");
  }
  return 0;
}
