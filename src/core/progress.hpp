// Stage progress: a starting line, throttled update lines and one done line, written to the sink
// of the current call (standard error unless the call was given another, see RunContext).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane {

// Writes one fully formatted line (or update) to file descriptor 2 under a process-wide lock, so
// lines of concurrent pipelines never mix within a line.
void write_stderr(std::string_view text);

// Where a call's progress goes; each write is one whole line or update.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void write(std::string_view text) = 0;
};

// Writes one whole line or update of progress to the current call's sink, or to standard error.
void report(std::string_view text);

class Progress {
 public:
  Progress(std::string name, uint64_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() { finish(); }

  // Reports that `done` items are finished; prints at most one update per 200 ms.
  void tick(uint64_t done);
  // Prints the done line once; later calls do nothing.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  double seconds_since_start(Clock::time_point now) const;

  std::string name_;
  Clock::time_point start_;
  Clock::time_point last_print_;
  uint64_t total_;
  bool finished_ = false;
};

inline Progress progress_start(std::string_view name, uint64_t total) { return Progress(std::string(name), total); }
inline Progress progress_start_named(std::string name) { return Progress(std::move(name), 0); }
inline void progress_tick(Progress& p, uint64_t done) { p.tick(done); }
inline void progress_finish(Progress& p) { p.finish(); }

namespace detail {  // steps of the above, exposed for their tests
// "{:.1}M/s", "{:.1}k/s" or "{:.0}/s" of an item rate.
std::string rate_text(double rate);
}  // namespace detail

}  // namespace morvane
