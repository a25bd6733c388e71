// Pinhole sealing. Boundary edges (used by one triangle) are linked from each vertex to its
// predecessor along the neighbouring triangle, loops are walked from the smallest start vertex
// up and split into simple loops where they pass a vertex twice, and each short simple loop is
// closed by a fan from the first vertex whose diagonals are all new edges.
#include "seal_pinholes.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "run_context.hpp"

namespace morvane {
namespace {

uint64_t edge_key(uint32_t a, uint32_t b) {
  return a < b ? (uint64_t{a} << 32) | b : (uint64_t{b} << 32) | a;
}

// Undirected edge -> number of triangles using it, by open addressing. A slot with count 0 is
// free, so every 64-bit key (degenerate edges included) can be stored.
class EdgeUseCount {
 public:
  explicit EdgeUseCount(std::size_t expected_keys) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected_keys) capacity *= 2;
    slots_.assign(capacity, Slot{});
  }

  void add(uint64_t key) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    Slot& s = slots_[find(key)];
    if (s.count == 0) {
      s.key = key;
      ++used_;
    }
    ++s.count;
  }

  uint32_t count(uint64_t key) const { return slots_[find(key)].count; }

 private:
  struct Slot {
    uint64_t key = 0;
    uint32_t count = 0;
  };

  static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
  }

  // The slot holding `key`, or the free slot where it would go.
  std::size_t find(uint64_t key) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = mix(key) & mask;
    while (slots_[i].count != 0 && slots_[i].key != key) i = (i + 1) & mask;
    return i;
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.size() * 2, Slot{});
    for (const Slot& s : old) {
      if (s.count != 0) slots_[find(s.key)] = s;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// For each vertex with boundary edges ending in it, the stack of their start vertices in
// triangle order. Vertices are kept sorted, so the start order never depends on hashing.
class BoundaryMap {
 public:
  // entries: (vertex, predecessor) in triangle order.
  explicit BoundaryMap(std::vector<std::pair<uint32_t, uint32_t>> entries) {
    std::stable_sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    preds_.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i == 0 || entries[i].first != entries[i - 1].first) {
        vertices_.push_back(entries[i].first);
        begin_.push_back(i);
      }
      preds_.push_back(entries[i].second);
    }
    end_ = begin_;
    end_.erase(end_.begin());
    end_.push_back(entries.size());
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
std::size_t conflict_free_apex(std::span<const uint32_t> loop, const EdgeUseCount& uses) {
  const std::size_t n = loop.size();
  for (std::size_t i = 0; i < n; ++i) {
    bool free = true;
    for (std::size_t k = 2; k + 2 <= n && free; ++k) free = uses.count(edge_key(loop[i], loop[(i + k) % n])) == 0;
    if (free) return i;
  }
  return n;
}

}  // namespace

uint64_t seal_pinholes(std::vector<Tri>& triangles, uint64_t max_hole) {
  if (triangles.empty() || max_hole < 3) return 0;

  EdgeUseCount uses(triangles.size() + triangles.size() / 2);  // a closed surface has 1.5 edges per face
  for (const Tri& t : triangles) {
    for (int e = 0; e < 3; ++e) uses.add(edge_key(t[e], t[(e + 1) % 3]));
  }

  throw_if_stopped();  // counting the edges is the long part on big meshes
  std::vector<std::pair<uint32_t, uint32_t>> entries;
  for (const Tri& t : triangles) {
    for (int e = 0; e < 3; ++e) {
      const uint32_t a = t[e], b = t[(e + 1) % 3];
      if (uses.count(edge_key(a, b)) == 1) entries.emplace_back(b, a);
    }
  }
  if (entries.empty()) return 0;
  BoundaryMap boundary(std::move(entries));

  uint64_t filled = 0;
  LoopWalker walker(boundary);
  auto fill = [&](std::span<const uint32_t> loop) {
    const std::size_t n = loop.size();
    if (n < 3 || n > max_hole) return;
    const std::size_t apex = conflict_free_apex(loop, uses);
    if (apex == n) return;
    for (std::size_t j = 1; j + 1 < n; ++j) {
      const Tri fan{loop[apex], loop[(apex + j) % n], loop[(apex + j + 1) % n]};
      triangles.push_back(fan);
      for (int e = 0; e < 3; ++e) uses.add(edge_key(fan[e], fan[(e + 1) % 3]));
    }
    ++filled;
  };
  for (std::size_t slot = 0; slot < boundary.vertices().size(); ++slot) {
    const uint32_t s = boundary.vertices()[slot];
    uint32_t a;
    while (boundary.pop(slot, a)) walker.walk(s, a, fill);
  }
  return filled;
}

}  // namespace morvane
