// Sides are grouped by the smaller vertex of their edge with a count, a scan and a fill on the
// pool, then each group is sorted; sorting makes the result independent of the fill's order. With
// vertex ids far beyond the number of sides, a group spans several consecutive ids.
#include "edge_sides.hpp"

#include <algorithm>
#include <atomic>

#include "parallel.hpp"

namespace morvane {
namespace {

// Triangles per task of the passes over the triangle list.
constexpr std::size_t kTrianglesPerTask = std::size_t{1} << 14;

// body(lo, hi) for consecutive triangle ranges covering [0, n), on the pool.
template <class F>
void for_each_triangle_range(std::size_t n, F&& body) {
  parallel_for_chunks(0, n, kTrianglesPerTask, body);
}

uint32_t largest_vertex(std::span<const Tri> triangles) {
  std::atomic<uint32_t> largest{0};
  for_each_triangle_range(triangles.size(), [&](std::size_t lo, std::size_t hi) {
    uint32_t m = 0;
    for (std::size_t t = lo; t < hi; ++t) m = std::max({m, triangles[t][0], triangles[t][1], triangles[t][2]});
    for (uint32_t seen = largest.load(std::memory_order_relaxed);
         m > seen && !largest.compare_exchange_weak(seen, m, std::memory_order_relaxed);) {
    }
  });
  return largest.load(std::memory_order_relaxed);
}

}  // namespace

EdgeSides::EdgeSides(std::span<const Tri> triangles) {
  const std::size_t sides = 3 * triangles.size();
  const uint32_t largest = largest_vertex(triangles);
  while ((uint64_t{largest} >> shift_) >= std::max<std::size_t>(sides, 1)) ++shift_;
  const std::size_t groups = (largest >> shift_) + 1;

  // start_[g] counts the sides of group g, then (scanned) marks its end, and after the fill,
  // which takes slots from the end down, its beginning.
  start_.resize(groups + 1);  // every entry is written below
  parallel_for_chunks(0, groups, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    std::fill(start_.data() + lo, start_.data() + hi, 0);
  });
  for_each_triangle_range(triangles.size(), [&](std::size_t lo, std::size_t hi) {
    for (std::size_t t = lo; t < hi; ++t) {
      for (int e = 0; e < 3; ++e) {
        uint64_t& count = start_[group_of(side_edge(triangles[t], e).word())];
        std::atomic_ref<uint64_t>(count).fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  for (std::size_t g = 1; g < groups; ++g) start_[g] += start_[g - 1];
  start_[groups] = sides;
  sides_.resize(sides);  // every entry is written below
  for_each_triangle_range(triangles.size(), [&](std::size_t lo, std::size_t hi) {
    for (std::size_t t = lo; t < hi; ++t) {
      for (int e = 0; e < 3; ++e) {
        const uint64_t key = side_edge(triangles[t], e).word();
        const uint64_t slot = std::atomic_ref<uint64_t>(start_[group_of(key)]).fetch_sub(1, std::memory_order_relaxed);
        sides_[slot - 1] = {key, 3 * t + static_cast<unsigned>(e)};
      }
    }
  });
  parallel_for_chunks(0, groups, 1 << 12, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t g = lo; g < hi; ++g) {
      std::sort(sides_.data() + start_[g], sides_.data() + start_[g + 1], [](const Side& x, const Side& y) {
        return x.key != y.key ? x.key < y.key : x.side < y.side;
      });
    }
  });
}

std::span<const EdgeSides::Side> EdgeSides::along(uint64_t key) const {
  const std::size_t g = group_of(key);
  if (g + 1 >= start_.size()) return {};
  const auto [first, last] =
      std::equal_range(sides_.data() + start_[g], sides_.data() + start_[g + 1], Side{key, 0},
                       [](const Side& x, const Side& y) { return x.key < y.key; });
  return {first, last};
}

}  // namespace morvane
