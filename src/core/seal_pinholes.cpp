// Pinhole sealing. Boundary edges (used by one triangle) are linked from each vertex to its
// predecessor along the neighbouring triangle, loops are walked from the smallest start vertex
// up and split into simple loops where they pass a vertex twice, and each short simple loop is
// closed by a fan from the first vertex whose diagonals are all new edges. Counting the edges and
// finding the boundary run on the worker pool; only the walk over the boundary is sequential.
#include "seal_pinholes.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <span>
#include <utility>

#include "edge_key_map.hpp"
#include "grid_array.hpp"
#include "parallel.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

// The undirected edge along side e of a triangle, from corner e to the next.
uint64_t side_key(const Tri& t, int e) { return edge_key(t[e], t[(e + 1) % 3]).word(); }

// Triangles per task of the passes over the triangle list: fixed, so that each task's share of an
// output follows from counts alone.
constexpr std::size_t kTrianglesPerTask = std::size_t{1} << 14;

std::size_t task_count(std::size_t triangles) { return (triangles + kTrianglesPerTask - 1) / kTrianglesPerTask; }

// body(task, lo, hi) for the tasks' triangle ranges [lo, hi), covering [0, n), on the pool.
template <class F>
void for_each_task(std::size_t n, F&& body) {
  parallel_for_each_index(0, task_count(n), [&](std::size_t task) {
    body(task, task * kTrianglesPerTask, std::min(n, (task + 1) * kTrianglesPerTask));
  }, 1);
}

uint32_t largest_vertex(std::span<const Tri> triangles) {
  std::atomic<uint32_t> largest{0};
  for_each_task(triangles.size(), [&](std::size_t, std::size_t lo, std::size_t hi) {
    uint32_t m = 0;
    for (std::size_t t = lo; t < hi; ++t) m = std::max({m, triangles[t][0], triangles[t][1], triangles[t][2]});
    for (uint32_t seen = largest.load(std::memory_order_relaxed);
         m > seen && !largest.compare_exchange_weak(seen, m, std::memory_order_relaxed);) {
    }
  });
  return largest.load(std::memory_order_relaxed);
}

// The undirected edge of every triangle side, grouped by smaller vertex and sorted within each
// group, so that the number of sides along an edge is a short scan. Groups are filled by count,
// scan and fill on the pool; sorting them makes the result independent of the fill's order. With
// vertex ids far beyond the number of sides, a group spans several consecutive ids.
class EdgeUses {
 public:
  explicit EdgeUses(std::span<const Tri> triangles) {
    const std::size_t sides = 3 * triangles.size();
    const uint32_t largest = largest_vertex(triangles);
    while ((uint64_t{largest} >> shift_) >= sides) ++shift_;
    const std::size_t groups = (largest >> shift_) + 1;

    // start_[g] counts the sides of group g, then (scanned) marks its end, and after the fill,
    // which takes slots from the end down, its beginning.
    start_.resize(groups + 1);  // every entry is written below
    parallel_for_chunks(0, groups, 1 << 16, [&](std::size_t lo, std::size_t hi) {
      std::fill(start_.data() + lo, start_.data() + hi, 0);
    });
    for_each_task(triangles.size(), [&](std::size_t, std::size_t lo, std::size_t hi) {
      for (std::size_t t = lo; t < hi; ++t) {
        for (int e = 0; e < 3; ++e) {
          uint64_t& count = start_[group_of(side_key(triangles[t], e))];
          std::atomic_ref<uint64_t>(count).fetch_add(1, std::memory_order_relaxed);
        }
      }
    });
    for (std::size_t g = 1; g < groups; ++g) start_[g] += start_[g - 1];
    start_[groups] = sides;
    keys_.resize(sides);  // every entry is written below
    for_each_task(triangles.size(), [&](std::size_t, std::size_t lo, std::size_t hi) {
      for (std::size_t t = lo; t < hi; ++t) {
        for (int e = 0; e < 3; ++e) {
          const uint64_t key = side_key(triangles[t], e);
          keys_[std::atomic_ref<uint64_t>(start_[group_of(key)]).fetch_sub(1, std::memory_order_relaxed) - 1] = key;
        }
      }
    });
    parallel_for_chunks(0, groups, 1 << 12, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t g = lo; g < hi; ++g) std::sort(keys_.data() + start_[g], keys_.data() + start_[g + 1]);
    });
  }

  // The number of triangle sides along the edge with this key.
  std::size_t count(uint64_t key) const {
    const std::size_t g = group_of(key);
    if (g + 1 >= start_.size()) return 0;
    const auto [first, last] = std::equal_range(keys_.data() + start_[g], keys_.data() + start_[g + 1], key);
    return static_cast<std::size_t>(last - first);
  }

 private:
  std::size_t group_of(uint64_t key) const { return static_cast<std::size_t>((key >> 32) >> shift_); }

  unsigned shift_ = 0;
  GridArray<uint64_t> start_;
  GridArray<uint64_t> keys_;
};

// The edges of the mesh as it grows: the triangles' own, then those of the fans added since.
class EdgeSet {
 public:
  explicit EdgeSet(const EdgeUses& uses) : uses_(uses) {}
  bool contains(EdgeKey key) const { return added_.contains(key) || uses_.count(key.word()) != 0; }
  void add(EdgeKey key) { added_.insert(key); }

 private:
  const EdgeUses& uses_;
  EdgeKeyMap<EdgeKey> added_;
};

// Side e of triangle t running from -> to, kept as the entry `from` of vertex `to`; order = 3t + e.
struct BoundarySide {
  uint32_t to, from;
  uint64_t order;
};

// The sides along edges that no other side uses, in triangle order.
std::vector<BoundarySide> boundary_sides(std::span<const Tri> triangles, const EdgeUses& uses) {
  GridArray<uint8_t> open(triangles.size());  // bit e: side e is a boundary side; all written below
  std::vector<std::size_t> task_start(task_count(triangles.size()) + 1, 0);
  for_each_task(triangles.size(), [&](std::size_t task, std::size_t lo, std::size_t hi) {
    std::size_t n = 0;
    for (std::size_t t = lo; t < hi; ++t) {
      unsigned bits = 0;
      for (int e = 0; e < 3; ++e) bits |= uses.count(side_key(triangles[t], e)) == 1 ? 1u << e : 0u;
      open[t] = static_cast<uint8_t>(bits);
      n += static_cast<std::size_t>(std::popcount(bits));
    }
    task_start[task + 1] = n;
  });
  for (std::size_t task = 1; task < task_start.size(); ++task) task_start[task] += task_start[task - 1];
  std::vector<BoundarySide> sides(task_start.back());
  for_each_task(triangles.size(), [&](std::size_t task, std::size_t lo, std::size_t hi) {
    BoundarySide* out = sides.data() + task_start[task];
    for (std::size_t t = lo; t < hi; ++t) {
      for (int e = 0; e < 3; ++e) {
        if ((open[t] >> e) & 1) *out++ = {triangles[t][(e + 1) % 3], triangles[t][e], 3 * t + static_cast<unsigned>(e)};
      }
    }
  });
  return sides;
}

// For each vertex with boundary edges ending in it, the stack of their start vertices in
// triangle order. Vertices are kept sorted, so the start order never depends on hashing.
class BoundaryMap {
 public:
  // sides: the boundary sides in triangle order.
  explicit BoundaryMap(std::vector<BoundarySide> sides) {
    parallel_sort(sides.begin(), sides.end(), [](const BoundarySide& x, const BoundarySide& y) {
      return x.to != y.to ? x.to < y.to : x.order < y.order;
    });
    preds_.reserve(sides.size());
    for (std::size_t i = 0; i < sides.size(); ++i) {
      if (i == 0 || sides[i].to != sides[i - 1].to) {
        vertices_.push_back(sides[i].to);
        begin_.push_back(i);
      }
      preds_.push_back(sides[i].from);
    }
    end_ = begin_;
    end_.erase(end_.begin());
    end_.push_back(sides.size());
  }

  // Sorted ascending.
  const std::vector<uint32_t>& vertices() const { return vertices_; }

  static constexpr std::size_t kNoSlot = SIZE_MAX;

  // The index of v in vertices(), or kNoSlot when no boundary edge ends in v.
  std::size_t slot_of(uint32_t v) const {
    auto it = std::lower_bound(vertices_.begin(), vertices_.end(), v);
    return it == vertices_.end() || *it != v ? kNoSlot : static_cast<std::size_t>(it - vertices_.begin());
  }

  // Removes and returns the last remaining entry of the stack in `slot`; false when it has none.
  bool pop(std::size_t slot, uint32_t& pred) {
    if (end_[slot] == begin_[slot]) return false;
    pred = preds_[--end_[slot]];
    return true;
  }

 private:
  std::vector<uint32_t> vertices_;
  std::vector<std::size_t> begin_, end_;
  std::vector<uint32_t> preds_;
};

// Walks boundary loops by their edges and splits every walk into simple loops: a walk that comes
// back to a vertex it passed closes the loop since that vertex (a figure eight around a vertex
// shared by two holes is two loops).
class LoopWalker {
 public:
  explicit LoopWalker(BoundaryMap& map) : map_(map), position_(map.vertices().size(), kNotOnPath) {}

  // Follows the boundary from the edge a -> s (s in the map) until it returns to s or runs out of
  // entries, calling on_loop(loop) for every simple loop it closes, each in walking order. Entries
  // taken from the map stay used up.
  template <class OnLoop>
  void walk(uint32_t s, uint32_t a, OnLoop&& on_loop) {
    push(s, map_.slot_of(s));
    uint32_t current = a;
    for (;;) {
      const std::size_t slot = map_.slot_of(current);
      if (slot == BoundaryMap::kNoSlot) break;  // no boundary edge goes on from here
      const std::size_t at = position_[slot];
      if (at == kNotOnPath) {
        push(current, slot);
      } else {
        // The path since the earlier visit is a simple loop; the vertex stays as the path's end.
        loop_.assign(path_.begin() + static_cast<std::ptrdiff_t>(at), path_.end());
        for (std::size_t i = at + 1; i < path_.size(); ++i) position_[slots_[i]] = kNotOnPath;
        path_.resize(at + 1);
        slots_.resize(at + 1);
        on_loop(std::span<const uint32_t>(loop_));
        if (current == s) break;
      }
      if (!map_.pop(slot, current)) break;
    }
    for (std::size_t slot : slots_) position_[slot] = kNotOnPath;
    path_.clear();
    slots_.clear();
  }

 private:
  static constexpr std::size_t kNotOnPath = SIZE_MAX;
  void push(uint32_t v, std::size_t slot) {
    position_[slot] = path_.size();
    path_.push_back(v);
    slots_.push_back(slot);
  }

  BoundaryMap& map_;
  std::vector<std::size_t> position_;  // per map slot: index of its vertex in path_, or kNotOnPath
  std::vector<uint32_t> path_;         // the open part of the walk, a simple path
  std::vector<std::size_t> slots_;     // the map slot of each path vertex
  std::vector<uint32_t> loop_;
};

// The first loop position whose fan diagonals are all absent from the mesh, or n when every
// position would give some existing edge two more faces.
std::size_t conflict_free_apex(std::span<const uint32_t> loop, const EdgeSet& edges) {
  const std::size_t n = loop.size();
  for (std::size_t i = 0; i < n; ++i) {
    bool free = true;
    for (std::size_t k = 2; k + 2 <= n && free; ++k) free = !edges.contains(edge_key(loop[i], loop[(i + k) % n]));
    if (free) return i;
  }
  return n;
}

}  // namespace

uint64_t seal_pinholes(std::vector<Tri>& triangles, uint64_t max_hole) {
  if (triangles.empty() || max_hole < 3) return 0;

  const EdgeUses uses(triangles);
  std::vector<BoundarySide> sides = boundary_sides(triangles, uses);
  throw_if_stopped();
  if (sides.empty()) return 0;
  BoundaryMap boundary(std::move(sides));

  uint64_t filled = 0;
  EdgeSet edges(uses);
  LoopWalker walker(boundary);
  auto fill = [&](std::span<const uint32_t> loop) {
    const std::size_t n = loop.size();
    if (n < 3 || n > max_hole) return;
    const std::size_t apex = conflict_free_apex(loop, edges);
    if (apex == n) return;
    for (std::size_t j = 1; j + 1 < n; ++j) {
      const Tri fan{loop[apex], loop[(apex + j) % n], loop[(apex + j + 1) % n]};
      triangles.push_back(fan);
      for (int e = 0; e < 3; ++e) edges.add(edge_key(fan[e], fan[(e + 1) % 3]));
    }
    ++filled;
  };
  for (std::size_t slot = 0; slot < boundary.vertices().size(); ++slot) {
    if (slot % 4096 == 0) throw_if_stopped();
    const uint32_t s = boundary.vertices()[slot];
    uint32_t a;
    while (boundary.pop(slot, a)) walker.walk(s, a, fill);
  }
  return filled;
}

}  // namespace morvane
