#include "grid_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "parallel.hpp"

namespace morvane::detail {

void release_pages(void* begin, void* end) noexcept {
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) / page * page;
  const uintptr_t last = reinterpret_cast<uintptr_t>(end) / page * page;
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

void free_grid_memory(void* memory, std::size_t bytes) noexcept {
  constexpr std::size_t kChunk = std::size_t{64} << 20;
  if (bytes >= 2 * kChunk) {
    auto* first = static_cast<char*>(memory);
    // No stop poll in the loop: this runs while a stopped call unwinds. A stopped call that would
    // wait for its turn in the pool releases the pages on its own thread instead.
    try {
      in_pool([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, bytes, kChunk),
                          [&](const tbb::blocked_range<std::size_t>& r) {
                            release_pages(first + r.begin(), first + r.end());
                          });
      });
    } catch (...) {
      release_pages(first, first + bytes);
    }
  }
  ::operator delete(memory);
}

}  // namespace morvane::detail
