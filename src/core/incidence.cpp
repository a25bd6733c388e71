#include "incidence.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "parallel.hpp"

namespace morvane {

Incidence build_incidence(std::size_t vertex_count, std::span<const Tri> triangles, std::span<const uint8_t> skip) {
  auto kept = [&](std::size_t t) { return skip.empty() || skip[t] == 0; };
  std::unique_ptr<std::atomic<std::size_t>[]> slots(new std::atomic<std::size_t>[vertex_count]);
  parallel_for_each_index(0, vertex_count, [&](std::size_t v) { slots[v].store(0, std::memory_order_relaxed); });
  parallel_for_each_index(0, triangles.size(), [&](std::size_t t) {
    if (!kept(t)) return;
    for (uint32_t v : triangles[t]) slots[v].fetch_add(1, std::memory_order_relaxed);
  });
  // Counts to starts: each block's total on the pool, their running sum here, then each block's
  // own running sum on the pool; every start is the same sum of counts whatever the split.
  constexpr std::size_t kBlock = std::size_t{1} << 14;
  const std::size_t blocks = (vertex_count + kBlock - 1) / kBlock;
  std::vector<std::size_t> block_start(blocks + 1, 0);
  parallel_for_each_index(0, blocks, [&](std::size_t b) {
    std::size_t total = 0;
    for (std::size_t v = b * kBlock, end = std::min(vertex_count, v + kBlock); v < end; ++v) {
      total += slots[v].load(std::memory_order_relaxed);
    }
    block_start[b + 1] = total;
  }, 1);
  for (std::size_t b = 0; b < blocks; ++b) block_start[b + 1] += block_start[b];
  Incidence in;
  in.start.resize(vertex_count + 1);  // every entry is written below
  parallel_for_each_index(0, blocks, [&](std::size_t b) {
    std::size_t running = block_start[b];
    for (std::size_t v = b * kBlock, end = std::min(vertex_count, v + kBlock); v < end; ++v) {
      in.start[v] = running;
      running += slots[v].load(std::memory_order_relaxed);
      slots[v].store(in.start[v], std::memory_order_relaxed);
    }
  }, 1);
  in.start[vertex_count] = block_start[blocks];
  in.triangles.resize(in.start[vertex_count]);  // every entry is written below
  parallel_for_each_index(0, triangles.size(), [&](std::size_t t) {
    if (!kept(t)) return;
    for (uint32_t v : triangles[t]) {
      in.triangles[slots[v].fetch_add(1, std::memory_order_relaxed)] = static_cast<uint32_t>(t);
    }
  });
  // The fill above lands in any order; list order is what the sums follow. A vertex has a few
  // triangles, which insertion sorts fastest.
  parallel_for_each_index(0, vertex_count, [&](std::size_t v) {
    uint32_t* first = in.triangles.data() + in.start[v];
    uint32_t* last = in.triangles.data() + in.start[v + 1];
    for (uint32_t* i = first; i != last; ++i) {
      const uint32_t t = *i;
      uint32_t* j = i;
      for (; j != first && *(j - 1) > t; --j) *j = *(j - 1);
      *j = t;
    }
  }, 1024);
  return in;
}

}  // namespace morvane
