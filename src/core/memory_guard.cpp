#include "memory_guard.hpp"

#include <unistd.h>

#include <new>

#include "numeric.hpp"

namespace morvane {

void require_memory(uint64_t bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return;  // unknown: let the allocation decide
  if (bytes > saturating_mul(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size))) {
    throw std::bad_alloc();
  }
}

}  // namespace morvane
