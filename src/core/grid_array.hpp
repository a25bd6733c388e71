// Per-cell lists of the grids. Zero-filling a list of a hundred million entries on the calling
// thread costs more than the stage that then writes it, so these lists are allocated without
// being filled: the parallel loop that first writes an entry also faults its page in, on the
// worker that writes it.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace morvane {

namespace detail {
// Hands the whole pages within [begin, end) back to the system.
void release_pages(void* begin, void* end) noexcept;
// Frees memory of the allocator below; a large block first hands its pages back on the pool's
// workers, since unmapping a gigabyte on one thread takes as long as a whole grid pass.
void free_grid_memory(void* memory, std::size_t bytes) noexcept;
}  // namespace detail

// An allocator whose default construction leaves trivial entries unset (resize does not fill).
template <class T>
class UninitializedAllocator {
 public:
  using value_type = T;

  UninitializedAllocator() = default;
  template <class U>
  UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept { detail::free_grid_memory(p, n * sizeof(T)); }

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const UninitializedAllocator&, const UninitializedAllocator&) noexcept { return true; }
};

// A per-cell list: resize(n) allocates n unset entries; write every one before reading it.
template <class T>
using GridArray = std::vector<T, UninitializedAllocator<T>>;

// Hands the memory of [begin, end) back to the system while the list that holds it lives on: a
// pass that turns one list into another releases what it has consumed, so that the two never both
// occupy their full size. The released entries must not be read again.
template <class T>
void release_memory(T* begin, T* end) noexcept {
  if (begin < end) detail::release_pages(begin, end);
}

}  // namespace morvane
