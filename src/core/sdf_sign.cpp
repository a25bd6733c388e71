#include "sdf_sign.hpp"

#include <atomic>
#include <bit>
#include <utility>
#include <vector>

#include "grid.hpp"
#include "numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

// Row r of the grid holds the nx voxels with y = r % ny, z = r / ny.
struct Rows {
  uint64_t nx, ny, nz;
  uint64_t count() const { return ny * nz; }
};

// A row of the current state and its four neighbour rows in y and z; a neighbour outside the
// grid is a row of Empty, which neither rule below reacts to.
struct RowNeighbourhood {
  const uint8_t* row;
  const uint8_t* y_minus;
  const uint8_t* y_plus;
  const uint8_t* z_minus;
  const uint8_t* z_plus;
  uint64_t nx;
  uint64_t base;  // index of the row's first voxel
};

// One double-buffered pass: rule(row neighbourhood, output row) for every row, reading only
// `current`. Returns whether any voxel changed.
template <class RowRule>
bool grid_pass(const Rows& g, const std::vector<uint8_t>& current, std::vector<uint8_t>& next, RowRule&& rule) {
  const std::vector<uint8_t> empty_row(g.nx, Empty);
  std::atomic<bool> changed{false};
  parallel_for_chunks(0, g.count(), 64, [&](std::size_t lo, std::size_t hi) {
    bool local = false;
    for (std::size_t r = lo; r < hi; ++r) {
      const uint64_t y = r % g.ny, z = r / g.ny;
      const uint8_t* row = current.data() + r * g.nx;
      const uint64_t slab = g.nx * g.ny;
      const RowNeighbourhood n{row,
                               y > 0 ? row - g.nx : empty_row.data(),
                               y + 1 < g.ny ? row + g.nx : empty_row.data(),
                               z > 0 ? row - slab : empty_row.data(),
                               z + 1 < g.nz ? row + slab : empty_row.data(),
                               g.nx,
                               r * g.nx};
      uint8_t* out = next.data() + r * g.nx;
      rule(n, out);
      uint8_t diff = 0;
      for (uint64_t x = 0; x < g.nx; ++x) diff |= static_cast<uint8_t>(out[x] ^ row[x]);
      local |= diff != 0;
    }
    if (local) changed.store(true, std::memory_order_relaxed);
  });
  return changed.load();
}

// Passes of `rule`, at most `passes` of them; stops at the first pass that changes nothing,
// since every later pass would repeat it.
template <class RowRule>
void repeat_passes(const Rows& g, uint64_t passes, std::vector<uint8_t>& state, std::vector<uint8_t>& spare,
                   RowRule&& rule) {
  for (uint64_t n = 0; n < passes; ++n) {
    const bool changed = grid_pass(g, state, spare, rule);
    state.swap(spare);
    if (!changed) break;
  }
}

// Whether `is` holds for a face neighbour of voxel x of the row; has_left and has_right say whether
// x - 1 and x + 1 are inside the grid. Written without short-circuits so that rows vectorise.
template <class Is>
[[gnu::always_inline]] inline bool any_face_neighbour(const RowNeighbourhood& n, uint64_t x, bool has_left,
                                                      bool has_right, Is&& is) {
  const bool left = has_left && is(n.row[x - 1]);
  const bool right = has_right && is(n.row[x + 1]);
  return left | right | is(n.y_minus[x]) | is(n.y_plus[x]) | is(n.z_minus[x]) | is(n.z_plus[x]);
}

// out[x] = cell(x, has_left, has_right) along the row, with the two ends apart so that the
// interior loop has no boundary tests.
template <class Cell>
void for_row(const RowNeighbourhood& n, uint8_t* out, Cell&& cell) {
  if (n.nx == 1) {
    out[0] = cell(0, false, false);
    return;
  }
  out[0] = cell(0, false, true);
  for (uint64_t x = 1; x + 1 < n.nx; ++x) out[x] = cell(x, true, true);
  out[n.nx - 1] = cell(n.nx - 1, true, false);
}

// Dilation: an Empty voxel next to a Shell voxel becomes Shell.
void dilate_row(const RowNeighbourhood& n, uint8_t* out) {
  auto shell = [](uint8_t s) { return s == Shell; };
  for_row(n, out, [&](uint64_t x, bool has_left, bool has_right) {
    const uint8_t s = n.row[x];
    const bool grow = s == Empty && any_face_neighbour(n, x, has_left, has_right, shell);
    return grow ? static_cast<uint8_t>(Shell) : s;
  });
}

// Erosion: a Shell or Inside voxel farther than half a diagonal from every triangle and next to
// an Outside voxel becomes Outside. Band distances are non-negative f32 bits (or +infinity), so
// they compare like the floats themselves.
void erode_row(const RowNeighbourhood& n, const uint32_t* band_dist, uint32_t half_diag_bits, uint8_t* out) {
  auto outside = [](uint8_t s) { return s == Outside; };
  for_row(n, out, [&](uint64_t x, bool has_left, bool has_right) {
    const uint8_t s = n.row[x];
    const bool erodible = (s == Shell || s == Inside) && band_dist[n.base + x] > half_diag_bits;
    const bool peel = erodible && any_face_neighbour(n, x, has_left, has_right, outside);
    return peel ? static_cast<uint8_t>(Outside) : s;
  });
}

// Marks Outside the 6-connected component of Empty voxels that holds voxel (0, 0, 0), filling
// whole runs along x at a time (scanline fill); the same voxels as a breadth-first fill.
void fill_exterior(const Rows& g, std::vector<uint8_t>& state) {
  if (state.empty() || state[0] != Empty) return;
  const uint64_t slab = g.nx * g.ny;
  std::vector<uint64_t> seeds{0};
  while (!seeds.empty()) {
    const uint64_t seed = seeds.back();
    seeds.pop_back();
    if (state[seed] != Empty) continue;
    const uint64_t row = seed / g.nx;
    const uint64_t base = row * g.nx;
    uint64_t x0 = seed - base, x1 = x0;
    while (x0 > 0 && state[base + x0 - 1] == Empty) --x0;
    while (x1 + 1 < g.nx && state[base + x1 + 1] == Empty) ++x1;
    for (uint64_t x = x0; x <= x1; ++x) state[base + x] = Outside;

    const uint64_t y = row % g.ny, z = row / g.ny;
    auto scan_row = [&](uint64_t other_base) {
      bool in_run = false;
      for (uint64_t x = x0; x <= x1; ++x) {
        const bool empty = state[other_base + x] == Empty;
        if (empty && !in_run) seeds.push_back(other_base + x);
        in_run = empty;
      }
    };
    if (y > 0) scan_row(base - g.nx);
    if (y + 1 < g.ny) scan_row(base + g.nx);
    if (z > 0) scan_row(base - slab);
    if (z + 1 < g.nz) scan_row(base + slab);
  }
}

}  // namespace

void sdf_sign(SdfGrid& grid, uint64_t close) {
  Progress stage = progress_start("sdf sign", 0);
  const Rows g{grid.nx, grid.ny, grid.nz};
  std::vector<uint8_t>& state = grid.state;
  std::vector<uint8_t> spare;
  if (close > 0) spare.resize(state.size());

  // Thicken the shell by `close` cells so that gaps up to about twice that stay closed.
  repeat_passes(g, close, state, spare, dilate_row);

  fill_exterior(g, state);
  parallel_for_chunks(0, state.size(), 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      if (state[i] == Empty) state[i] = Inside;
    }
  });

  // Peel the thickening back from the exterior; voxels within half a diagonal of a triangle stay.
  const uint32_t half_diag_bits = std::bit_cast<uint32_t>(narrow_to_float(grid.half_diag));
  repeat_passes(g, close, state, spare, [&](const RowNeighbourhood& n, uint8_t* out) {
    erode_row(n, grid.band_dist.data(), half_diag_bits, out);
  });
}

}  // namespace morvane
