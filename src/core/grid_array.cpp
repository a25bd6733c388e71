#include "grid_array.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace morvane::detail {

void release_pages(void* begin, void* end) noexcept {
  static const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) / page * page;
  const uintptr_t last = reinterpret_cast<uintptr_t>(end) / page * page;
  if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace morvane::detail
