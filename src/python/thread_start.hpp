// Threads the module starts itself (the runner of a call, NumPy's first import). A thread the
// system cannot start (no address space left for its stack, too many threads) is an exhausted
// resource, raised as MemoryError naming the thread, never an internal failure.
#pragma once

#include <fmt/format.h>

#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "common/memory_guard.hpp"

namespace morvane::py {

// `purpose` completes "could not start a thread {purpose}".
template <class Body>
std::thread start_thread(std::string_view purpose, Body&& body) {
  try {
    return std::thread(std::forward<Body>(body));
  } catch (const std::system_error& e) {
    throw OutOfMemory(fmt::format("could not start a thread {}: {}", purpose, e.code().message()));
  }
}

}  // namespace morvane::py
