// Running work with the interpreter lock released, so that other Python threads go on meanwhile,
// and so that Ctrl-C still stops it.
#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace morvane::py {

namespace detail {
enum class LockWhileWaiting { Release, Keep };

// Runs `work` on a thread of its own under a RunContext of its own, while the calling thread waits
// and, every few tens of milliseconds, runs the signal handlers (with the interpreter lock, which
// it releases meanwhile or keeps throughout). When a handler raises (Ctrl-C: KeyboardInterrupt),
// the work is asked to stop; once it has ended PythonErrorSet is thrown with the handler's
// exception set. The work's commit (commit_to_finish) has the calling thread run them once more
// before it, at once, when that thread is the main one (no other runs them); from then on they
// are no longer run: the work finishes, and a signal that came meanwhile is acted on by the
// interpreter after the call has returned. Otherwise the work's own failure, if any, is rethrown
// once it has ended. A runner thread that cannot be started is OutOfMemory. Returns and throws
// with the lock held.
void run_interruptible(const std::function<void()>& work, LockWhileWaiting lock);

template <class Work>
std::invoke_result_t<Work&> run_stoppable(Work& work, LockWhileWaiting lock) {
  using Result = std::invoke_result_t<Work&>;
  if constexpr (std::is_void_v<Result>) {
    run_interruptible(work, lock);
  } else {
    std::optional<Result> result;
    run_interruptible([&] { result.emplace(work()); }, lock);
    return std::move(*result);
  }
}
}  // namespace detail

// Runs `work` without the interpreter lock and returns its result. `work` must touch no Python
// object: convert every argument before, and hold a reference to any object whose data it reads.
template <class Work>
std::invoke_result_t<Work&> run_unlocked(Work&& work) {
  return detail::run_stoppable(work, detail::LockWhileWaiting::Release);
}

// Runs `work` as a call that keeps the interpreter lock throughout (other Python threads wait),
// yet stops on Ctrl-C like run_unlocked. `work` runs on another thread: it must touch no Python
// object either.
template <class Work>
std::invoke_result_t<Work&> run_keeping_lock(Work&& work) {
  return detail::run_stoppable(work, detail::LockWhileWaiting::Keep);
}

}  // namespace morvane::py
