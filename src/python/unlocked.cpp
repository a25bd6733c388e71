#include "unlocked.hpp"

#include <Python.h>
#include <cxxabi.h>
#include <fmt/format.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "common/memory_guard.hpp"
#include "core/run_context.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
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

// Whether this is the interpreter's main thread, the only one whose PyErr_CheckSignals runs the
// handlers. Throws PythonErrorSet when the question raised (a pending Ctrl-C may).
bool runs_signal_handlers() {
  const PyRef threading = owned(PyImport_ImportModule("threading"));
  const PyRef main_thread = owned(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  const PyRef ident = owned(PyObject_GetAttrString(main_thread.get(), "ident"));
  const unsigned long main_ident = PyLong_AsUnsignedLong(ident.get());
  if (main_ident == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return main_ident == PyThread_get_thread_ident();
}

}  // namespace

void run_interruptible(const std::function<void()>& work, LockWhileWaiting lock_mode) {
  std::mutex mutex;
  std::condition_variable changed;  // the work ended, or its commit asks for a look
  bool ended = false;
  uint64_t looks_asked = 0;
  uint64_t looks_answered = 0;
  bool answering = true;  // false once this thread is ended by the interpreter
  std::exception_ptr failure;

  RunContext context;
  // Signals are seen only on the main thread; elsewhere a look would find nothing.
  if (runs_signal_handlers()) {
    context.set_last_look([&] {
      std::unique_lock<std::mutex> lock(mutex);
      const uint64_t ticket = ++looks_asked;
      changed.notify_all();
      changed.wait(lock, [&] { return looks_answered >= ticket || !answering; });
    });
  }
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
    changed.notify_all();
  });

  const bool release = lock_mode == LockWhileWaiting::Release;
  // After a commit the handlers are not run, so that the signal stays pending for the interpreter
  // instead of failing a call whose work is done.
  const auto signal_stops_work = [&] { return context.request_stop_if([] { return PyErr_CheckSignals() < 0; }); };
  bool interrupted = false;
  PyThreadState* state = release ? PyEval_SaveThread() : nullptr;
  try {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      // Woken early by a commit's request, which is answered once the handlers have run.
      changed.wait_for(lock, kSignalCheckInterval, [&] { return ended || looks_asked != looks_answered; });
      if (ended) break;
      const uint64_t asked = looks_asked;
      if (!interrupted) {
        lock.unlock();
        if (release) PyEval_RestoreThread(state);
        interrupted = signal_stops_work();
        if (release) state = PyEval_SaveThread();
        lock.lock();
      }
      if (looks_answered != asked) {
        looks_answered = asked;
        changed.notify_all();
      }
    }
  } catch (abi::__forced_unwind&) {
    // The interpreter ends this thread while it finalises: the work must not outlive this frame,
    // nor wait for a look that will not come; stopped first, it cannot commit.
    context.request_stop();
    {
      std::lock_guard<std::mutex> lock(mutex);
      answering = false;
    }
    changed.notify_all();
    runner.join();
    throw;
  }
  runner.join();
  if (release) PyEval_RestoreThread(state);
  if (interrupted) throw PythonErrorSet{};
  if (failure) std::rethrow_exception(failure);
}

}  // namespace morvane::py::detail
