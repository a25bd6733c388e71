#include "grid_fill.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <numeric>
#include <vector>

namespace morvane {
namespace {

static_assert(std::endian::native == std::endian::little, "the run scans read eight cells as one word");
static_assert(Empty == 0, "the run scans look for zero bytes");

uint64_t load8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// 0x80 in every byte of w that is zero, 0 elsewhere (no carry crosses a byte).
uint64_t zero_bytes(uint64_t w) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
  return ~(((w & kLow7) + kLow7) | w | kLow7);
}

// The first x >= from whose cell is Empty, or nx.
uint64_t next_empty(const uint8_t* row, uint64_t from, uint64_t nx) {
  uint64_t x = from;
  for (; x + 8 <= nx; x += 8) {
    const uint64_t z = zero_bytes(load8(row + x));
    if (z != 0) return x + static_cast<uint64_t>(std::countr_zero(z)) / 8;
  }
  while (x < nx && row[x] != Empty) ++x;
  return x;
}

// The first x >= from whose cell is not Empty, or nx.
uint64_t next_filled(const uint8_t* row, uint64_t from, uint64_t nx) {
  uint64_t x = from;
  for (; x + 8 <= nx; x += 8) {
    const uint64_t w = load8(row + x);
    if (w != 0) return x + static_cast<uint64_t>(std::countr_zero(w)) / 8;
  }
  while (x < nx && row[x] == Empty) ++x;
  return x;
}

struct Run {
  uint32_t x0, x1;  // the Empty cells [x0, x1) of one row
};

// The Empty runs of one z-slab, row by row, and the component of each run within the slab.
struct SlabRuns {
  std::vector<Run> runs;
  std::vector<uint32_t> row_start;  // the runs of row y are [row_start[y], row_start[y + 1])
  std::vector<uint32_t> component;  // per run, numbered 0 .. count - 1 in order of first run
  uint32_t count = 0;
};

// Calls meet(i, j) for every pair of overlapping runs a[i] and b[j] (two rows side by side).
template <class Meet>
void overlapping_runs(const Run* a, uint32_t na, const Run* b, uint32_t nb, Meet&& meet) {
  uint32_t i = 0, j = 0;
  while (i < na && j < nb) {
    if (a[i].x0 < b[j].x1 && b[j].x0 < a[i].x1) meet(i, j);
    if (a[i].x1 < b[j].x1) {
      ++i;
    } else {
      ++j;
    }
  }
}

uint32_t find_root(std::vector<uint32_t>& parent, uint32_t x) {
  while (parent[x] != x) {
    parent[x] = parent[parent[x]];
    x = parent[x];
  }
  return x;
}

SlabRuns label_slab(const uint8_t* slab, const GridShape& g) {
  SlabRuns s;
  s.row_start.reserve(g.ny + 1);
  for (uint64_t y = 0; y < g.ny; ++y) {
    s.row_start.push_back(static_cast<uint32_t>(s.runs.size()));
    const uint8_t* row = slab + y * g.nx;
    for (uint64_t x = next_empty(row, 0, g.nx); x < g.nx;) {
      const uint64_t end = next_filled(row, x, g.nx);
      s.runs.push_back({static_cast<uint32_t>(x), static_cast<uint32_t>(end)});
      x = next_empty(row, end, g.nx);
    }
  }
  s.row_start.push_back(static_cast<uint32_t>(s.runs.size()));

  std::vector<uint32_t> parent(s.runs.size());
  std::iota(parent.begin(), parent.end(), 0u);
  for (uint64_t y = 1; y < g.ny; ++y) {
    const uint32_t a = s.row_start[y - 1], b = s.row_start[y];
    overlapping_runs(s.runs.data() + a, b - a, s.runs.data() + b, s.row_start[y + 1] - b, [&](uint32_t i, uint32_t j) {
      const uint32_t ra = find_root(parent, a + i), rb = find_root(parent, b + j);
      if (ra != rb) parent[std::max(ra, rb)] = std::min(ra, rb);
    });
  }
  // Roots are the lowest run of their component, so numbering them in run order is stable.
  s.component.resize(s.runs.size());
  for (uint32_t r = 0; r < s.runs.size(); ++r) {
    const uint32_t root = find_root(parent, r);
    s.component[r] = root == r ? s.count++ : s.component[root];
  }
  return s;
}

// A union-find over the components of all slabs that many threads join at once: a root is linked
// under the lower of the two roots by compare-and-swap, so the forest's components do not depend
// on the order of the joins.
class ConcurrentUnionFind {
 public:
  explicit ConcurrentUnionFind(std::size_t n) : parent_(new std::atomic<uint32_t>[n]) {
    parallel_for_chunks(0, n, 1 << 16, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t i = lo; i < hi; ++i) parent_[i].store(static_cast<uint32_t>(i), std::memory_order_relaxed);
    });
  }

  uint32_t find(uint32_t x) const {
    for (;;) {
      const uint32_t p = parent_[x].load(std::memory_order_relaxed);
      if (p == x) return x;
      // Path halving: any ancestor of x is a valid parent for it.
      const uint32_t grandparent = parent_[p].load(std::memory_order_relaxed);
      if (grandparent != p) parent_[x].store(grandparent, std::memory_order_relaxed);
      x = grandparent;
    }
  }

  void unite(uint32_t a, uint32_t b) {
    for (;;) {
      a = find(a);
      b = find(b);
      if (a == b) return;
      if (a < b) std::swap(a, b);
      uint32_t expected = a;
      if (parent_[a].compare_exchange_strong(expected, b, std::memory_order_relaxed)) return;
    }
  }

 private:
  std::unique_ptr<std::atomic<uint32_t>[]> parent_;
};

}  // namespace

void fill_exterior(uint8_t* states, const GridShape& g) {
  if (g.nx == 0 || g.ny == 0 || g.nz == 0 || states[0] != Empty) return;
  const uint64_t slab = g.nx * g.ny;
  std::vector<SlabRuns> slabs(g.nz);
  parallel_for_each_index(0, g.nz, [&](std::size_t z) { slabs[z] = label_slab(states + z * slab, g); }, 1);

  std::vector<uint32_t> first(g.nz + 1, 0);  // global number of each slab's component 0
  for (uint64_t z = 0; z < g.nz; ++z) first[z + 1] = first[z] + slabs[z].count;
  ConcurrentUnionFind components(first[g.nz]);
  parallel_for_each_index(
      0, g.nz - 1,
      [&](std::size_t z) {
        const SlabRuns& below = slabs[z];
        const SlabRuns& above = slabs[z + 1];
        for (uint64_t y = 0; y < g.ny; ++y) {
          const uint32_t a = below.row_start[y], b = above.row_start[y];
          uint32_t last_a = UINT32_MAX, last_b = UINT32_MAX;
          overlapping_runs(below.runs.data() + a, below.row_start[y + 1] - a, above.runs.data() + b,
                           above.row_start[y + 1] - b,
                           [&](uint32_t i, uint32_t j) {
                             const uint32_t ca = first[z] + below.component[a + i];
                             const uint32_t cb = first[z + 1] + above.component[b + j];
                             if (ca == last_a && cb == last_b) return;
                             last_a = ca, last_b = cb;
                             components.unite(ca, cb);
                           });
        }
      },
      1);

  const uint32_t exterior = components.find(first[0] + slabs[0].component[0]);  // run 0 of slab 0 holds cell 0
  parallel_for_each_index(
      0, g.nz,
      [&](std::size_t z) {
        const SlabRuns& s = slabs[z];
        std::vector<uint8_t> outside(s.count);
        for (uint32_t c = 0; c < s.count; ++c) outside[c] = components.find(first[z] + c) == exterior;
        uint8_t* base = states + z * slab;
        for (uint64_t y = 0; y < g.ny; ++y) {
          uint8_t* row = base + y * g.nx;
          for (uint32_t r = s.row_start[y]; r < s.row_start[y + 1]; ++r) {
            if (outside[s.component[r]]) std::memset(row + s.runs[r].x0, Outside, s.runs[r].x1 - s.runs[r].x0);
          }
        }
      },
      1);
}

}  // namespace morvane
