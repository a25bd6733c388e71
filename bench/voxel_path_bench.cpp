// Times the stages of the binary voxel path on a bumpy closed sphere of about 1.3M triangles:
// voxelize (and its exterior flood fill alone), one dilation pass and marching cubes, per resolution.
#include <cmath>

#include <fmt/format.h>

#include "bench_util.hpp"
#include "core/marching_cubes.hpp"
#include "core/voxelize.hpp"
#include "support/test_meshes.hpp"

int main() {
  using morvane::Mesh;
  using morvane::bench::Stopwatch;
  const Mesh mesh = morvane::test::make_bumpy_sphere(8);
  fmt::print("input: {} vertices, {} triangles\n", mesh.positions.size(), mesh.indices.size());
  for (uint64_t res : {128, 256, 512}) {
    Stopwatch clock;
    morvane::VoxelGrid grid = morvane::voxelize(mesh.positions, mesh.indices, res, 3);  // pad 2 + 1 dilation
    const double voxelize_s = clock.seconds();

    // The flood fill alone, on the shell that voxelize rasterized.
    morvane::VoxelGrid shell = grid;
    for (uint8_t& s : shell.states) s = s == morvane::Shell ? morvane::Shell : morvane::Empty;
    clock.restart();
    morvane::detail::flood_fill_exterior(shell);
    const double fill_s = clock.seconds();
    shell = {};

    clock.restart();
    morvane::dilate_voxels(grid, 1);
    const double dilate_s = clock.seconds();

    clock.restart();
    const Mesh out = morvane::voxel_marching_cubes(grid);
    const double mc_s = clock.seconds();

    fmt::print(
        "res {:3}: grid {}x{}x{}  voxelize {:.3f} s (flood fill {:.3f} s)  dilate x1 {:.3f} s  "
        "marching cubes {:.3f} s ({} vertices, {} faces)  peak {:.0f} MiB\n",
        res, grid.nx, grid.ny, grid.nz, voxelize_s, fill_s, dilate_s, mc_s, out.positions.size(), out.indices.size(),
        morvane::bench::peak_rss_mib());
  }
  return 0;
}
