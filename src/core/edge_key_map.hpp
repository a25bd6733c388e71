// Open-addressing hash map from a grid edge to a vertex index (FxHash, linear probing), for the
// per-slab weld of marching cubes.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

#include "marching_cubes.hpp"

namespace morvane {

class EdgeKeyMap {
 public:
  // The index stored under key, or `fresh` after storing it there (second = true).
  std::pair<uint32_t, bool> find_or_insert(const GridEdgeKey& key, uint32_t fresh) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    for (std::size_t i = slot_of(key);; i = (i + 1) & (slots_.size() - 1)) {
      Slot& s = slots_[i];
      if (s.value == kVacant) {
        s = {key, fresh};
        ++size_;
        return {fresh, true};
      }
      if (s.key == key) return {s.value, false};
    }
  }

 private:
  static constexpr uint32_t kVacant = UINT32_MAX;  // never a vertex index: slabs stop below it
  struct Slot {
    GridEdgeKey key;
    uint32_t value = kVacant;
  };

  std::size_t slot_of(const GridEdgeKey& k) const {
    constexpr uint64_t kSeed = 0x517cc1b727220a95;  // FxHash
    uint64_t h = 0;
    for (uint64_t word : {uint64_t{k.x}, uint64_t{k.y}, uint64_t{k.z}, uint64_t{k.axis}}) {
      h = (std::rotl(h, 5) ^ word) * kSeed;
    }
    return static_cast<std::size_t>(h >> shift_);  // the high bits are the well-mixed ones
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    const std::size_t capacity = old.empty() ? 64 : 2 * old.size();
    slots_.assign(capacity, Slot{});
    shift_ = 64 - std::countr_zero(capacity);
    size_ = 0;
    for (const Slot& s : old) {
      if (s.value != kVacant) find_or_insert(s.key, s.value);
    }
  }

  std::vector<Slot> slots_;
  std::size_t size_ = 0;
  int shift_ = 64;
};

}  // namespace morvane
