#include "memory_guard.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>

#include <fmt/format.h>

#include "numeric.hpp"

namespace morvane {
namespace {

// The first "{label} {number}" line of a /proc file, in its own unit; nullopt when absent.
std::optional<unsigned long long> proc_figure(const char* path, const char* format) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return std::nullopt;
  char line[256];
  unsigned long long value = 0;
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f)) found = std::sscanf(line, format, &value) == 1;
  std::fclose(f);
  return found ? std::optional(value) : std::nullopt;
}

// Memory the kernel can hand out without swapping (MemAvailable), or the physical memory when
// that figure is not readable; 0 when neither is known. An address-space limit of the process
// (ulimit -v) lowers it to the room left under the limit.
uint64_t usable_memory_bytes() {
  uint64_t usable = 0;
  if (const auto kib = proc_figure("/proc/meminfo", "MemAvailable: %llu kB")) {
    usable = saturating_mul(*kib, 1024);
  } else if (const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE); pages > 0 && page_size > 0) {
    usable = saturating_mul(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size));
  }
  rlimit limit{};
  const auto mapped_kib = proc_figure("/proc/self/status", "VmSize: %llu kB");
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && mapped_kib) {
    const uint64_t mapped = saturating_mul(*mapped_kib, 1024);
    const uint64_t room = limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 1;
    usable = usable == 0 ? room : std::min(usable, room);
  }
  return usable;
}

// "2.5 GiB", "310.0 MiB", "12.0 KiB" or "100 bytes".
std::string byte_size_text(uint64_t bytes) {
  constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return fmt::format("{} bytes", bytes);
  double value = static_cast<double>(bytes) / 1024.0;
  int unit = 0;
  while (value >= 1023.95 && unit < 5) value /= 1024.0, ++unit;  // never "1024.0 MiB"
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

}  // namespace

std::string allocation_failure_text(uint64_t bytes, std::string_view what) {
  std::string text = fmt::format("could not allocate {} ({} bytes)", byte_size_text(bytes), bytes);
  if (!what.empty()) text += fmt::format(" for {}", what);
  return text;
}

OutOfMemory OutOfMemory::of_size(uint64_t bytes) {
  OutOfMemory failure(allocation_failure_text(bytes, {}));
  failure.unnamed_size_ = bytes;
  return failure;
}

OutOfMemory out_of_memory_for(const std::bad_alloc& failure, std::string_view what) {
  const auto* known = dynamic_cast<const OutOfMemory*>(&failure);
  if (!known) return OutOfMemory(fmt::format("could not allocate memory for {}", what));
  const std::optional<uint64_t> bytes = known->unnamed_size();
  return bytes ? OutOfMemory(allocation_failure_text(*bytes, what)) : *known;
}

void require_memory(uint64_t bytes, std::string_view what) {
  const uint64_t usable = usable_memory_bytes();
  if (usable != 0 && bytes > usable) {
    throw OutOfMemory(fmt::format("{}; {} available", allocation_failure_text(bytes, what), byte_size_text(usable)));
  }
}

}  // namespace morvane
