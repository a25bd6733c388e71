#include "parallel.hpp"

#include <fmt/format.h>
#include <sched.h>

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>

#include "common/memory_guard.hpp"

namespace morvane {
namespace {

// A decimal count as the pool's settings read it: digits with an optional leading '+'.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view s(text);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::size_t logical_cpu_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

}  // namespace

std::size_t pool_worker_count() {
  if (auto n = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
    return *n > 0 ? *n : logical_cpu_count();
  }
  if (auto n = parse_count(std::getenv("RAYON_RS_NUM_CPUS")); n && *n > 0) return *n;
  return logical_cpu_count();
}

namespace detail {
void rethrow_if_thread_start_failure(const std::runtime_error& failure) {
  if (std::string_view(failure.what()).starts_with("pthread_create has failed")) {
    throw OutOfMemory(fmt::format("could not start the worker pool's threads ({})", failure.what()));
  }
}

tbb::task_arena& pool_arena() {
  static tbb::task_arena arena(static_cast<int>(pool_worker_count() > 4096 ? 4096 : pool_worker_count()));
  return arena;
}
}  // namespace detail

}  // namespace morvane
