// Regular grids of the core: cell states, grid sizing and the binary voxel grid.
#pragma once

#include <array>
#include <cstdint>

#include "grid_array.hpp"

namespace morvane {

enum CellState : uint8_t { Empty = 0, Shell = 1, Inside = 2, Outside = 3 };

// The largest grid, in cells, that grid_dims allows (2^30: 1 GiB of state bytes).
inline constexpr uint64_t kCellBudget = 1073741824;

// The widest margin whose grid still fits the budget at resolution 1: 1 + 2 * 511 = 1024 cells
// per axis, so grid_dims can always honour a margin up to this many cells.
inline constexpr uint64_t kLargestPad = 511;

struct GridDims {
  uint64_t nx = 0, ny = 0, nz = 0;
  double cell = 1.0;  // edge length of a cubic cell, in the input's units
};

// Cell counts and cell size for a bounding box of size `extent`, `voxel_res` cells along its
// longest side and `pad` extra cells on every side. Halves the resolution while the grid would
// exceed kCellBudget, printing a warning when it does.
GridDims grid_dims(std::array<double, 3> extent, uint64_t voxel_res, uint64_t pad);

// Cell (x, y, z) is states[x + nx * (y + ny * z)] and covers origin + (x, y, z) * cell upward.
struct VoxelGrid {
  GridArray<uint8_t> states;
  uint64_t nx = 0, ny = 0, nz = 0;
  std::array<double, 3> origin{};
  double cell = 1.0;
};

}  // namespace morvane
