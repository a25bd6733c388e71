// Running work with the interpreter lock released, so that other Python threads go on meanwhile,
// and so that Ctrl-C still stops it.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/run_context.hpp"

namespace morvane::py {

namespace detail {
// Runs `work` on a thread of its own under `context`, while the calling thread waits without the
// interpreter lock and takes the lock every few tens of milliseconds to run the signal handlers.
// When a handler raises (Ctrl-C: KeyboardInterrupt), the work is asked to stop; once it has ended
// PythonErrorSet is thrown with the handler's exception set. Otherwise the work's own failure, if
// any, is rethrown once it has ended. Returns and throws with the lock held.
void run_interruptible(RunContext& context, const std::function<void()>& work);
}  // namespace detail

// Runs `work` without the interpreter lock and returns its result. `work` must touch no Python
// object: convert and copy every argument before.
template <class Work>
std::invoke_result_t<Work&> run_unlocked(Work&& work) {
  using Result = std::invoke_result_t<Work&>;
  RunContext context;
  if constexpr (std::is_void_v<Result>) {
    detail::run_interruptible(context, work);
  } else {
    std::optional<Result> result;
    detail::run_interruptible(context, [&] { result.emplace(work()); });
    return std::move(*result);
  }
}

}  // namespace morvane::py
