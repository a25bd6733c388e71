// The narrow-band signed distance grid of the distance-field path.
#pragma once

#include <array>
#include <cstdint>

#include "grid_array.hpp"

namespace morvane {

inline constexpr uint32_t kNoTriangle = 0xFFFFFFFF;
inline constexpr uint32_t kInfiniteDistanceBits = 0x7F800000;  // +infinity as f32 bits

// Voxel (i, j, k) is entry i + nx * (j + ny * k) of every list and is sampled at its centre,
// origin + (i + 0.5, j + 0.5, k + 0.5) * cell.
struct SdfGrid {
  GridArray<float> values;          // field value, world units
  GridArray<uint8_t> state;         // CellState
  GridArray<uint32_t> band_dist;    // f32 bits of the distance to the nearest triangle; +inf off the band
  GridArray<uint32_t> nearest_tri;  // that triangle's index; kNoTriangle off the band
  uint64_t nx = 0, ny = 0, nz = 0;
  std::array<double, 3> origin{};
  double cell = 1.0;
  double band_cells = 1.0;  // half-width of the exact band, in cells
  double half_diag = 0.0;   // half the voxel diagonal, world units
  bool far_field_done = false;

  std::size_t index(uint64_t i, uint64_t j, uint64_t k) const { return i + nx * (j + ny * k); }
};

}  // namespace morvane
