#include "sdf_sign.hpp"

#include <bit>

#include "grid.hpp"
#include "grid_fill.hpp"
#include "grid_pass.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

// Dilation: an Empty voxel next to a Shell voxel becomes Shell.
void dilate_row(const RowNeighbourhood& n, uint8_t* __restrict grows) {
  neighbour_flags(n, [](uint8_t s) { return s == Shell; }, grows);
  const uint8_t* __restrict row = n.row;
  for (uint64_t x = 0, nx = n.nx; x < nx; ++x) grows[x] &= static_cast<uint8_t>(row[x] == Empty);
}

// Erosion: a Shell or Inside voxel farther than half a diagonal from every triangle and next to
// an Outside voxel becomes Outside. Band distances are non-negative f32 bits (or +infinity), so
// they compare like the floats themselves.
void erode_row(const RowNeighbourhood& n, const uint32_t* band_dist, uint32_t half_diag_bits,
               uint8_t* __restrict peels) {
  neighbour_flags(n, [](uint8_t s) { return s == Outside; }, peels);
  const uint32_t* __restrict distances = band_dist + n.base;
  const uint8_t* __restrict row = n.row;
  for (uint64_t x = 0, nx = n.nx; x < nx; ++x) {
    const uint8_t s = row[x];
    const bool erodible = (s == Shell) | (s == Inside);
    peels[x] &= static_cast<uint8_t>(erodible & (distances[x] > half_diag_bits));
  }
}

}  // namespace

void sdf_sign(SdfGrid& grid, uint64_t close) {
  Progress stage = progress_start("sdf sign", 0);
  const GridShape g{grid.nx, grid.ny, grid.nz};
  uint8_t* state = grid.state.data();

  // Thicken the shell by `close` cells so that gaps up to about twice that stay closed.
  repeat_grid_passes(state, g, close, Shell, dilate_row);

  fill_exterior(state, g);
  parallel_for_chunks(0, grid.state.size(), 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      if (state[i] == Empty) state[i] = Inside;
    }
  });

  // Peel the thickening back from the exterior; voxels within half a diagonal of a triangle stay.
  const uint32_t half_diag_bits = std::bit_cast<uint32_t>(narrow_to_float(grid.half_diag));
  repeat_grid_passes(state, g, close, Outside, [&](const RowNeighbourhood& n, uint8_t* peels) {
    erode_row(n, grid.band_dist.data(), half_diag_bits, peels);
  });
}

}  // namespace morvane
