#include "memory_guard.hpp"

#include <unistd.h>

#include <cstdio>
#include <new>

#include "numeric.hpp"

namespace morvane {
namespace {

// Memory the kernel can hand out without swapping (MemAvailable), or the physical memory when
// that figure is not readable; 0 when neither is known.
uint64_t usable_memory_bytes() {
  if (std::FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
    std::fclose(f);
    if (found) return saturating_mul(kib, 1024);
  }
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return saturating_mul(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size));
}

}  // namespace

void require_memory(uint64_t bytes) {
  const uint64_t usable = usable_memory_bytes();
  if (usable != 0 && bytes > usable) throw std::bad_alloc();
}

}  // namespace morvane
