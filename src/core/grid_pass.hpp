// Neighbourhood passes over the cell states of a grid (dilations and erosions): every cell's new
// state comes from the states before the pass, as if double-buffered, but without a second copy
// of the grid. A pass first computes, in parallel over rows, a bit mask of the cells that change,
// and only then writes them; a cell that changes in a pass always takes the pass's one new state.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "parallel.hpp"

namespace morvane {

// Cell counts of a grid; row r holds the nx cells with y = r % ny, z = r / ny.
struct GridShape {
  uint64_t nx, ny, nz;
  uint64_t rows() const { return ny * nz; }
};

// A row of the current states and its four neighbour rows in y and z; a neighbour outside the
// grid is a row of Empty (0).
struct RowNeighbourhood {
  const uint8_t* row;
  const uint8_t* y_minus;
  const uint8_t* y_plus;
  const uint8_t* z_minus;
  const uint8_t* z_plus;
  uint64_t nx;
  uint64_t base;  // index of the row's first cell
};

// flags[x] = 1 where `is` holds for a face neighbour of cell x of the row, 0 elsewhere. Plain
// loops over locals, one neighbour at a time, so that they vectorise (the flags are bytes, which
// could alias anything the loops read through the neighbourhood).
template <class Is>
[[gnu::always_inline]] inline void neighbour_flags(const RowNeighbourhood& n, Is&& is, uint8_t* __restrict flags) {
  const uint8_t* __restrict row = n.row;
  const uint8_t* __restrict ym = n.y_minus;
  const uint8_t* __restrict yp = n.y_plus;
  const uint8_t* __restrict zm = n.z_minus;
  const uint8_t* __restrict zp = n.z_plus;
  const uint64_t nx = n.nx;
  for (uint64_t x = 0; x < nx; ++x) {
    flags[x] = static_cast<uint8_t>(is(ym[x]) | is(yp[x]) | is(zm[x]) | is(zp[x]));
  }
  for (uint64_t x = 1; x < nx; ++x) flags[x] |= static_cast<uint8_t>(is(row[x - 1]));
  for (uint64_t x = 0; x + 1 < nx; ++x) flags[x] |= static_cast<uint8_t>(is(row[x + 1]));
}

// One pass: changes(neighbourhood, flags) sets flags[x] to 1 for every cell x of the row that takes
// `value` and to 0 for the others. Returns whether any cell changed.
template <class RowChanges>
bool grid_pass(uint8_t* states, const GridShape& g, uint8_t value, RowChanges&& changes) {
  if (g.nx == 0 || g.rows() == 0) return false;
  const uint64_t words = (g.nx + 63) / 64;
  const uint64_t slab = g.nx * g.ny;
  // Written in full by the first loop before the second reads it.
  std::unique_ptr<uint64_t[]> mask(new uint64_t[g.rows() * words]);
  const std::vector<uint8_t> empty_row(g.nx, 0);
  std::atomic<bool> changed{false};
  parallel_for_chunks(0, g.rows(), 64, [&](std::size_t lo, std::size_t hi) {
    std::vector<uint8_t> flags(words * 64, 0);
    uint64_t any = 0;
    for (std::size_t r = lo; r < hi; ++r) {
      const uint64_t y = r % g.ny, z = r / g.ny;
      const uint8_t* row = states + r * g.nx;
      const RowNeighbourhood n{row,
                               y > 0 ? row - g.nx : empty_row.data(),
                               y + 1 < g.ny ? row + g.nx : empty_row.data(),
                               z > 0 ? row - slab : empty_row.data(),
                               z + 1 < g.nz ? row + slab : empty_row.data(),
                               g.nx,
                               r * g.nx};
      changes(n, flags.data());
      uint64_t* bits = mask.get() + r * words;
      for (uint64_t w = 0; w < words; ++w) {
        uint64_t word = 0;
        for (int b = 0; b < 8; ++b) {
          uint64_t eight;  // eight 0/1 flag bytes become eight bits
          std::memcpy(&eight, flags.data() + w * 64 + 8 * b, sizeof eight);
          word |= ((eight * 0x0102040810204080ull) >> 56) << (8 * b);
        }
        bits[w] = word;
        any |= word;
      }
    }
    if (any != 0) changed.store(true, std::memory_order_relaxed);
  });
  if (!changed.load(std::memory_order_relaxed)) return false;
  parallel_for_chunks(0, g.rows(), 256, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t r = lo; r < hi; ++r) {
      uint8_t* row = states + r * g.nx;
      const uint64_t* bits = mask.get() + r * words;
      for (uint64_t w = 0; w < words; ++w) {
        for (uint64_t word = bits[w]; word != 0; word &= word - 1) {
          row[w * 64 + static_cast<uint64_t>(__builtin_ctzll(word))] = value;
        }
      }
    }
  });
  return true;
}

// Up to `passes` passes; stops at the first pass that changes nothing, since every later pass
// would repeat it.
template <class RowChanges>
void repeat_grid_passes(uint8_t* states, const GridShape& g, uint64_t passes, uint8_t value, RowChanges&& changes) {
  for (uint64_t n = 0; n < passes; ++n) {
    if (!grid_pass(states, g, value, changes)) break;
  }
}

}  // namespace morvane
