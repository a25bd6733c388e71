// The triangle sides along each edge of a triangle list, found by sorting rather than hashing: the
// count of sides of an edge is a short binary search, and a run of equal keys in the sorted list
// names the triangles that meet at one edge.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "grid_array.hpp"
#include "mesh.hpp"

namespace morvane {

class EdgeSides {
 public:
  struct Side {
    uint64_t key;   // EdgeKey::word() of the undirected edge
    uint64_t side;  // 3 * triangle + corner: the side runs from that corner to the next
  };

  // Built on the worker pool; the result does not depend on the worker count.
  explicit EdgeSides(std::span<const Tri> triangles);

  // The sides along the edge with this key, in triangle order.
  std::span<const Side> along(uint64_t key) const;
  std::size_t count(uint64_t key) const { return along(key).size(); }

  // Every side, ordered by key and then by side: groups of consecutive smaller vertices, each
  // group's sides sorted. group_count() groups, group g being [group_start(g), group_start(g + 1)).
  std::span<const Side> all() const { return {sides_.data(), sides_.size()}; }
  std::size_t group_count() const { return start_.size() - 1; }
  std::size_t group_start(std::size_t g) const { return start_[g]; }

 private:
  std::size_t group_of(uint64_t key) const { return static_cast<std::size_t>((key >> 32) >> shift_); }

  unsigned shift_ = 0;
  GridArray<uint64_t> start_;
  GridArray<Side> sides_;
};

// The undirected edge along side e of a triangle, from corner e to the next.
inline EdgeKey side_edge(const Tri& t, int e) { return edge_key(t[e], t[(e + 1) % 3]); }

}  // namespace morvane
