// What one call shares between its stages and the thread that started it: the request to stop
// early (Ctrl-C in Python), where its progress goes, and the name of the stage it is in, for
// failure messages.
//
// A call installs its context on its thread with a RunScope; parallel loops carry the context to
// the workers that run their chunks, so that one poll, throw_if_stopped(), serves every stage
// without passing the context around. Polls sit at chunk and iteration granularity, or once per
// few thousand items of a sequential loop (StopPoll), never per item.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace morvane {

class ProgressSink;

// Thrown by the stage that notices the stop request; the call unwinds and releases what it holds.
class Interrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "interrupted"; }
};

class RunContext {
 public:
  // May be called from any thread.
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  // Null: standard error. The sink must outlive the call.
  void set_progress_sink(ProgressSink* sink) noexcept { sink_ = sink; }
  ProgressSink* progress_sink() const noexcept { return sink_; }

  // The last stage started, kept after the stage ends. Written and read by the call's own thread.
  void enter_stage(std::string_view name) { stage_.assign(name); }
  const std::string& stage() const noexcept { return stage_; }

 private:
  std::atomic<bool> stop_{false};
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
