// Open-addressing hash map from an edge key to a vertex or face index (FxHash, linear probing,
// grown at half load). A key hashes the words its hash_words() returns. Nothing iterates the
// map, so its layout decides no result.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace morvane {

template <class Key>
class EdgeKeyMap {
 public:
  // The index stored under key, or `fresh` after storing it there (second = true).
  std::pair<uint32_t, bool> find_or_insert(const Key& key, uint32_t fresh) {
    if (2 * (size_ + 1) > slots_.size()) grow();
    for (std::size_t i = slot_of(key);; i = next(i)) {
      Slot& s = slots_[i];
      if (s.value == kVacant) {
        s = {key, fresh};
        ++size_;
        return {fresh, true};
      }
      if (s.key == key) return {s.value, false};
    }
  }

  // Stores the key unless it is there; for a map used as a set.
  void insert(const Key& key) { find_or_insert(key, 0); }

  bool contains(const Key& key) const {
    if (slots_.empty()) return false;
    for (std::size_t i = slot_of(key);; i = next(i)) {
      const Slot& s = slots_[i];
      if (s.value == kVacant) return false;
      if (s.key == key) return true;
    }
  }

 private:
  static constexpr uint32_t kVacant = UINT32_MAX;  // never an index: meshes stop below it
  struct Slot {
    Key key;
    uint32_t value = kVacant;
  };

  std::size_t next(std::size_t i) const { return (i + 1) & (slots_.size() - 1); }

  std::size_t slot_of(const Key& key) const {
    constexpr uint64_t kSeed = 0x517cc1b727220a95;  // FxHash
    uint64_t h = 0;
    for (uint64_t word : key.hash_words()) h = (std::rotl(h, 5) ^ word) * kSeed;
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
