// The narrow-band signed distance grid of the distance-field path.
#pragma once

#include <algorithm>
#include <cstdint>

#include "grid.hpp"
#include "grid_array.hpp"

namespace morvane {

inline constexpr uint32_t kInfiniteDistanceBits = 0x7F800000;  // +infinity as f32 bits

// Voxel (i, j, k) is sampled at its centre, origin + (i + 0.5, j + 0.5, k + 0.5) * cell.
struct SdfGrid : GridFrame {
  SdfGrid() = default;
  explicit SdfGrid(const GridFrame& frame) : GridFrame(frame) {}

  GridArray<float> values;          // field value, world units
  GridArray<uint8_t> state;         // CellState
  GridArray<uint32_t> band_dist;    // f32 bits of the distance to the nearest triangle; +inf off the band
  GridArray<uint32_t> nearest_tri;  // that triangle's index; kNoTriangle off the band
  double band_cells = 1.0;  // half-width of the exact band, in cells
  double half_diag = 0.0;   // half the voxel diagonal, world units
  bool far_field_done = false;

  std::size_t index(uint64_t i, uint64_t j, uint64_t k) const { return i + nx * (j + ny * k); }
  void require_values() const {
    require_entries(values.size(), "distance grid value count does not match its dimensions");
  }
};

// The sign rule of the field: a voxel's value from its distance to the input and its state,
// unsigned outside, capped at half a voxel diagonal on the shell, mirrored about a whole diagonal
// inside.
inline float signed_value(uint8_t state, float distance, float half_diag) {
  switch (state) {
    case Shell: return std::min(distance, half_diag);
    case Inside: return (half_diag + half_diag) - distance;
    default: return distance;
  }
}

}  // namespace morvane
