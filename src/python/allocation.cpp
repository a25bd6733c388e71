// The module's own operator new: like the library's, but a failed allocation says how much memory
// could not be had, so that the MemoryError a user sees has a message. The symbols stay inside the
// module (exports.map), so the host process and other libraries keep their own allocator.
#include <cstdlib>
#include <new>

#include "common/memory_guard.hpp"

void* operator new(std::size_t size) {
  for (;;) {
    if (void* memory = std::malloc(size > 0 ? size : 1)) return memory;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw morvane::OutOfMemory::of_size(size);
    handler();
  }
}

void* operator new[](std::size_t size) { return ::operator new(size); }
