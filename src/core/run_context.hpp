// What one call shares between its stages and the thread that started it: the request to stop
// early (Ctrl-C in Python), where its progress goes, and the name of the stage it is in, for
// failure messages.
//
// A call installs its context on its thread with a RunScope; parallel loops carry the context to
// the workers that run their chunks, so that one poll, throw_if_stopped(), serves every stage
// without passing the context around. Polls sit at chunk and iteration granularity, or once per
// few thousand items of a sequential loop (StopPoll), never per item.
//
// A stop has one meaning: the call undid nothing because it did nothing lasting. A step that
// cannot be undone (a file replaced) is preceded by commit_to_finish(), the last poll; from then
// on no stop request reaches the work, which runs to its end. Whoever turns outside events into
// stop requests now and then (Ctrl-C, looked for by the waiting Python thread) is asked by that
// last poll to look at once, so that an event which came before the commit is not left for later.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

namespace morvane {

class ProgressSink;

// Thrown by the stage that notices the stop request; the call unwinds and releases what it holds.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class RunContext {
 public:
  // Asks the work to stop when `reason()` says so, unless the work has committed, in which case
  // `reason` is not even called: whatever it would have acted on is left for later. A commit
  // waits while `reason` runs. Returns whether the stop was asked. May be called from any thread.
  template <class Reason>
  bool request_stop_if(Reason&& reason) {
    const std::lock_guard<std::mutex> lock(commit_mutex_);
    if (committed_ || !reason()) return false;
    stop_.store(true, std::memory_order_relaxed);
    return true;
  }
  bool request_stop() {
    return request_stop_if([] { return true; });
  }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Run by the first commit before its poll, on the work's thread: asks whoever passes outside
  // events on as stop requests to look for one now, through request_stop_if, and returns once it
  // has. It must answer promptly, without waiting for the work. Set before the work starts.
  void set_last_look(std::function<void()> look) { last_look_ = std::move(look); }

  // The last poll before a step that cannot be undone: throws Interrupted when a stop was asked,
  // else makes every later request a no-op. Called by the work's own thread, outside any
  // parallel loop (the last look may wait for a thread that waits for the pool).
  void commit() {
    {
      const std::lock_guard<std::mutex> lock(commit_mutex_);
      if (committed_) return;
    }
    if (last_look_) last_look_();
    const std::lock_guard<std::mutex> lock(commit_mutex_);
    if (stop_requested()) throw Interrupted();
    committed_ = true;
  }

  // Null: standard error. The sink must outlive the call.
  void set_progress_sink(ProgressSink* sink) noexcept { sink_ = sink; }
  ProgressSink* progress_sink() const noexcept { return sink_; }

  // The last stage started, kept after the stage ends. Written and read by the call's own thread.
  void enter_stage(std::string_view name) { stage_.assign(name); }
  const std::string& stage() const noexcept { return stage_; }

 private:
  std::atomic<bool> stop_{false};
  std::mutex commit_mutex_;
  bool committed_ = false;  // guarded by commit_mutex_
  std::function<void()> last_look_;
  ProgressSink* sink_ = nullptr;
  std::string stage_;
};

namespace detail {
inline thread_local RunContext* current_run_context = nullptr;
}

// Makes `context` (null for none) the one of this thread's work, for the scope's lifetime.
class RunScope {
 public:
  explicit RunScope(RunContext* context) noexcept : previous_(detail::current_run_context) {
    detail::current_run_context = context;
  }
  ~RunScope() { detail::current_run_context = previous_; }
  RunScope(const RunScope&) = delete;
  RunScope& operator=(const RunScope&) = delete;

 private:
  RunContext* previous_;
};

inline RunContext* current_run_context() noexcept { return detail::current_run_context; }

// Throws Interrupted when the work on this thread was asked to stop.
inline void throw_if_stopped() {
  const RunContext* context = detail::current_run_context;
  if (context != nullptr && context->stop_requested()) throw Interrupted();
}

// Called right before a step that cannot be undone; see RunContext::commit. Outside any run
// context nothing can ask for a stop, and this does nothing.
inline void commit_to_finish() {
  if (RunContext* context = detail::current_run_context) context->commit();
}

// For a tight sequential loop over [0, count) whose steps take a few nanoseconds: body(begin, end)
// on consecutive ranges of 65536 steps with a poll before each, the loop's own code left as tight.
template <class Body>
void for_each_polled_range(std::size_t count, Body&& body) {
  constexpr std::size_t kSteps = std::size_t{1} << 16;
  for (std::size_t begin = 0; begin < count; begin += kSteps) {
    throw_if_stopped();
    body(begin, count - begin < kSteps ? count : begin + kSteps);
  }
}

// For a sequential loop over many short steps: tick() polls once every 4096 steps.
class StopPoll {
 public:
  void tick() {
    if ((++steps_ & 4095) == 0) throw_if_stopped();
  }

 private:
  uint32_t steps_ = 0;
};

}  // namespace morvane
