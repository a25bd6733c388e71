// Refusal of allocations that cannot fit in this machine's memory, and the error that says what
// could not be allocated and how much.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

namespace morvane {

// An exhausted memory, with a message for the user (a plain std::bad_alloc says nothing).
class OutOfMemory : public std::bad_alloc {
 public:
  explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
  // A failed allocation of `bytes` whose purpose is not known where it failed.
  static OutOfMemory of_size(uint64_t bytes);

  const char* what() const noexcept override { return message_.c_str(); }
  // The size of a failure that names no purpose yet; none when it names one.
  std::optional<uint64_t> unnamed_size() const { return unnamed_size_; }

 private:
  std::string message_;
  std::optional<uint64_t> unnamed_size_;
};

// "could not allocate 2.5 GiB (2717908992 bytes) for {what}", without the last part when `what`
// is empty.
std::string allocation_failure_text(uint64_t bytes, std::string_view what);

// The failure named as one for `what` ("could not allocate 34.3 MiB (35956224 bytes) for {what}",
// or without the size when it is not known); a failure that names its purpose already stays as it is.
OutOfMemory out_of_memory_for(const std::bad_alloc& failure, std::string_view what);

// Throws OutOfMemory when `bytes` exceed the memory available to the process. Linux does not fail
// a huge allocation up front; it kills the process when the pages are touched, so grids check
// first. `what` names the allocation in the message ("the distance grid").
void require_memory(uint64_t bytes, std::string_view what);

}  // namespace morvane
