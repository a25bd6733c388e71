// Pinhole sealing. Boundary edges (used by one triangle) are linked from each vertex to its
// predecessor along the neighbouring triangle, loops are walked from the smallest start vertex
// up and split into simple loops where they pass a vertex twice, and each short simple loop is
// closed by fill_hole. Counting the edges and finding the boundary run on the worker pool; only
// the walk over the boundary is sequential.
#include "seal_pinholes.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>

#include "edge_key_map.hpp"
#include "grid_array.hpp"
#include "hole_fill.hpp"
#include "incidence.hpp"
#include "mesh_error.hpp"
#include "parallel.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

// The edges of the mesh as it grows: the triangles' own, then those of the fills added since.
// `around` lists the triangles there were before the fills, which are appended to `triangles`.
class EdgeSet {
 public:
  EdgeSet(const Incidence& around, const std::vector<Tri>& triangles) : around_(around), triangles_(triangles) {}
  bool contains(EdgeKey key) const {
    return added_.contains(key) || sides_on_edge(around_, triangles_, key.a, key.b) != 0;
  }
  void add(EdgeKey key) { added_.insert(key); }

 private:
  const Incidence& around_;
  const std::vector<Tri>& triangles_;
  EdgeKeyMap<EdgeKey> added_;
};

// Side e of triangle t running from -> to, kept as the entry `from` of vertex `to`; order = 3t + e.
struct BoundarySide {
  uint32_t to, from;
  uint64_t order;
};

// Triangles per task of the pass that finds the boundary: fixed, so that each task's share of the
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

// The sides along edges that no other side uses, in triangle order.
std::vector<BoundarySide> boundary_sides(std::span<const Tri> triangles, const Incidence& around) {
  GridArray<uint8_t> open(triangles.size());  // bit e: side e is a boundary side; all written below
  std::vector<std::size_t> task_start(task_count(triangles.size()) + 1, 0);
  for_each_task(triangles.size(), [&](std::size_t task, std::size_t lo, std::size_t hi) {
    std::size_t n = 0;
    for (std::size_t t = lo; t < hi; ++t) {
      unsigned bits = 0;
      for (int e = 0; e < 3; ++e) {
        bits |= sides_on_edge(around, triangles, triangles[t][e], triangles[t][(e + 1) % 3]) == 1 ? 1u << e : 0u;
      }
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

// A step along the boundary: to vertex `from`, along the side `order` of a rim triangle.
struct Step {
  uint32_t from;
  uint64_t order;
};

// For each vertex with boundary edges ending in it, the stack of their start vertices in
// triangle order. Vertices are kept sorted, so the start order never depends on hashing.
class BoundaryMap {
 public:
  // sides: the boundary sides in triangle order.
  explicit BoundaryMap(std::vector<BoundarySide> sides) {
    parallel_sort(sides.begin(), sides.end(), [](const BoundarySide& x, const BoundarySide& y) {
      return x.to != y.to ? x.to < y.to : x.order < y.order;
    });
    steps_.reserve(sides.size());
    for (std::size_t i = 0; i < sides.size(); ++i) {
      if (i == 0 || sides[i].to != sides[i - 1].to) {
        vertices_.push_back(sides[i].to);
        begin_.push_back(i);
      }
      steps_.push_back({sides[i].from, sides[i].order});
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
  bool pop(std::size_t slot, Step& step) {
    if (end_[slot] == begin_[slot]) return false;
    step = steps_[--end_[slot]];
    return true;
  }

 private:
  std::vector<uint32_t> vertices_;
  std::vector<std::size_t> begin_, end_;
  std::vector<Step> steps_;
};

// Walks boundary loops by their edges and splits every walk into simple loops: a walk that comes
// back to a vertex it passed closes the loop since that vertex (a figure eight around a vertex
// shared by two holes is two loops).
class LoopWalker {
 public:
  explicit LoopWalker(BoundaryMap& map) : map_(map), position_(map.vertices().size(), kNotOnPath) {}

  // Follows the boundary from the step `first` out of s (s in the map) until it returns to s or
  // runs out of entries, calling on_loop(loop, sides) for every simple loop it closes, each in
  // walking order with sides[i] the rim side between loop[i] and the next. Entries taken from the
  // map stay used up.
  template <class OnLoop>
  void walk(uint32_t s, Step first, OnLoop&& on_loop) {
    push(s, map_.slot_of(s), 0);
    Step step = first;
    for (;;) {
      const uint32_t current = step.from;
      const std::size_t slot = map_.slot_of(current);
      if (slot == BoundaryMap::kNoSlot) break;  // no boundary edge goes on from here
      const std::size_t at = position_[slot];
      if (at == kNotOnPath) {
        push(current, slot, step.order);
      } else {
        // The path since the earlier visit is a simple loop; the vertex stays as the path's end.
        loop_.assign(path_.begin() + static_cast<std::ptrdiff_t>(at), path_.end());
        loop_sides_.assign(reached_by_.begin() + static_cast<std::ptrdiff_t>(at) + 1, reached_by_.end());
        loop_sides_.push_back(step.order);
        for (std::size_t i = at + 1; i < path_.size(); ++i) position_[slots_[i]] = kNotOnPath;
        path_.resize(at + 1);
        slots_.resize(at + 1);
        reached_by_.resize(at + 1);
        on_loop(std::span<const uint32_t>(loop_), std::span<const uint64_t>(loop_sides_));
        if (current == s) break;
      }
      if (!map_.pop(slot, step)) break;
    }
    for (std::size_t slot : slots_) position_[slot] = kNotOnPath;
    path_.clear();
    slots_.clear();
    reached_by_.clear();
  }

 private:
  static constexpr std::size_t kNotOnPath = SIZE_MAX;
  void push(uint32_t v, std::size_t slot, uint64_t reached_by) {
    position_[slot] = path_.size();
    path_.push_back(v);
    slots_.push_back(slot);
    reached_by_.push_back(reached_by);
  }

  BoundaryMap& map_;
  std::vector<std::size_t> position_;  // per map slot: index of its vertex in path_, or kNotOnPath
  std::vector<uint32_t> path_;         // the open part of the walk, a simple path
  std::vector<std::size_t> slots_;     // the map slot of each path vertex
  std::vector<uint64_t> reached_by_;   // the rim side from the previous path vertex to each (unused at 0)
  std::vector<uint32_t> loop_;
  std::vector<uint64_t> loop_sides_;
};

}  // namespace

SealCount seal_pinholes(std::span<const Vec3> positions, std::vector<Tri>& triangles, uint64_t max_hole) {
  SealCount count;
  if (triangles.empty() || max_hole < 3) return count;

  require_valid_indices(positions.size(), triangles);
  const Incidence around = build_incidence(positions.size(), triangles);
  std::vector<BoundarySide> boundary_list = boundary_sides(triangles, around);
  throw_if_stopped();
  if (boundary_list.empty()) return count;
  BoundaryMap boundary(std::move(boundary_list));

  EdgeSet edges(around, triangles);
  const std::function<bool(EdgeKey)> is_edge = [&](EdgeKey key) { return edges.contains(key); };
  LoopWalker walker(boundary);
  std::vector<Vec3> rim_normals;
  std::vector<Tri> fill;
  auto close = [&](std::span<const uint32_t> loop, std::span<const uint64_t> rim_sides) {
    const std::size_t n = loop.size();
    if (n < 3 || n > max_hole) return;
    rim_normals.clear();
    for (uint64_t side : rim_sides) rim_normals.push_back(face_normal(positions, triangles[side / 3]));
    fill.clear();
    if (!fill_hole(positions, HoleLoop{loop, rim_normals}, is_edge, fill)) {
      ++count.left_open;
      return;
    }
    for (const Tri& t : fill) {
      triangles.push_back(t);
      for (int e = 0; e < 3; ++e) edges.add(edge_key(t[e], t[(e + 1) % 3]));
    }
    ++count.filled;
  };
  for (std::size_t slot = 0; slot < boundary.vertices().size(); ++slot) {
    if (slot % 4096 == 0) throw_if_stopped();
    const uint32_t s = boundary.vertices()[slot];
    Step first;
    while (boundary.pop(slot, first)) walker.walk(s, first, close);
  }
  return count;
}

}  // namespace morvane
