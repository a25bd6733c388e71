// Regular grids of the core: cell states, grid sizing, where a grid lies and the binary voxel grid.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "grid_array.hpp"
#include "mesh.hpp"

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

// Where a grid lies: nx * ny * nz cubic cells of edge `cell`, cell (x, y, z) at origin + (x, y, z) *
// cell and at entry x + nx * (y + ny * z) of every list that holds one entry per cell.
struct GridFrame {
  uint64_t nx = 0, ny = 0, nz = 0;
  std::array<double, 3> origin{};
  double cell = 1.0;

  // nx * ny * nz, or UINT64_MAX when the product does not fit in 64 bits.
  uint64_t cells() const;
  // Throws InternalError(message) unless a list of `entries` holds one entry per cell: the grids
  // are built by the stages themselves, so a mismatch is a fault of the code, not of the input.
  void require_entries(std::size_t entries, const char* message) const;
};

// The frame over the finite points of `positions`: grid_dims' counts and cell for their bounding
// box, with the origin `pad` cells below the box's lower corner. Throws InputError when the cell
// spans too few doubles at the box's coordinates for the proxy's vertices to be told apart.
GridFrame grid_frame(std::span<const Vec3> positions, uint64_t voxel_res, uint64_t pad);

// Cell (x, y, z) covers origin + (x, y, z) * cell upward.
struct VoxelGrid : GridFrame {
  VoxelGrid() = default;
  explicit VoxelGrid(const GridFrame& frame) : GridFrame(frame) {}

  GridArray<uint8_t> states;

  void require_states() const {
    require_entries(states.size(), "voxel grid state count does not match its dimensions");
  }
};

namespace detail {  // steps of the above, exposed for their tests
// Cell counts and cell size for a bounding box of size `extent`, `voxel_res` cells along its
// longest side and `pad` extra cells on every side. Halves the resolution while the grid would
// exceed kCellBudget, printing a warning when it does.
GridDims grid_dims(std::array<double, 3> extent, uint64_t voxel_res, uint64_t pad);
}  // namespace detail

}  // namespace morvane
