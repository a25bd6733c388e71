#include "memory_guard.hpp"

#include <unistd.h>

#include <cstdio>

#include <fmt/format.h>

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

// "2.5 GiB", "310.0 MiB", "12.0 KiB" or "100 bytes".
std::string byte_size_text(uint64_t bytes) {
  constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return fmt::format("{} bytes", bytes);
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1024.0 && unit < 5) value /= 1024.0, ++unit;
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

}  // namespace

std::string allocation_failure_text(uint64_t bytes, std::string_view what) {
  std::string text = fmt::format("could not allocate {} ({} bytes)", byte_size_text(bytes), bytes);
  if (!what.empty()) text += fmt::format(" for {}", what);
  return text;
}

void require_memory(uint64_t bytes, std::string_view what) {
  const uint64_t usable = usable_memory_bytes();
  if (usable != 0 && bytes > usable) {
    throw OutOfMemory(fmt::format("{}; {} available", allocation_failure_text(bytes, what), byte_size_text(usable)));
  }
}

}  // namespace morvane
