// Refusal of allocations that cannot fit in this machine's memory.
#pragma once

#include <cstdint>

namespace morvane {

// Throws std::bad_alloc when `bytes` exceed the memory available to the process. Linux does not fail a huge
// allocation up front; it kills the process when the pages are touched, so grids check first.
void require_memory(uint64_t bytes);

}  // namespace morvane
