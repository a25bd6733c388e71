#include "unlocked.hpp"

#include <Python.h>
#include <cxxabi.h>
#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "common/memory_guard.hpp"
#include "errors.hpp"
#include "thread_start.hpp"

namespace morvane::py::detail {

namespace {

// How often the waiting thread looks for a pending signal: well within the half second a user
// waits for Ctrl-C to take effect, and rare enough to cost nothing.
constexpr std::chrono::milliseconds kSignalCheckInterval{20};

// The failure's own text (size and purpose when known) and the stage the call was in.
std::string out_of_memory_text(const std::bad_alloc& failure, const std::string& stage) {
  std::string text = dynamic_cast<const OutOfMemory*>(&failure) ? failure.what() : "out of memory";
  if (!stage.empty()) text += fmt::format(" during \"{}\"", stage);
  return text;
}

}  // namespace

void run_interruptible(RunContext& context, const std::function<void()>& work, LockWhileWaiting lock_mode) {
  std::mutex mutex;
  std::condition_variable ended_signal;
  bool ended = false;
  std::exception_ptr failure;
  std::thread runner = start_thread("to run the call", [&] {
    {
      RunScope scope(&context);
      try {
        work();
      } catch (const std::bad_alloc& e) {
        failure = std::make_exception_ptr(OutOfMemory(out_of_memory_text(e, context.stage())));
      } catch (...) {
        failure = std::current_exception();
      }
    }
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    ended_signal.notify_one();
  });

  const bool release = lock_mode == LockWhileWaiting::Release;
  // Handlers run on the main thread only; after a commit they are not run at all, so that the
  // signal stays pending for the interpreter instead of failing a call whose work is done.
  const auto signal_stops_work = [&] { return context.request_stop_if([] { return PyErr_CheckSignals() < 0; }); };
  bool interrupted = false;
  PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
  try {
    std::unique_lock<std::mutex> lock(mutex);
    while (!ended_signal.wait_for(lock, kSignalCheckInterval, [&] { return ended; })) {
      if (interrupted) continue;
      lock.unlock();
      if (release) PyEval_RestoreThread(state);
      interrupted = signal_stops_work();
      if (release) state = PyEval_SaveThread();
      lock.lock();
    }
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread while it finalises: the work must not outlive this frame.
    context.request_stop();
    runner.join();
    throw;
  }
  runner.join();
  if (release) PyEval_RestoreThread(state);
  if (interrupted) throw PythonErrorSet{};
  if (failure) std::rethrow_exception(failure);
}

}  // namespace morvane::py::detail
