#include "progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include <fmt/format.h>

#include "run_context.hpp"
#include "common/text_format.hpp"

namespace morvane {

void write_stderr(std::string_view text) {
  static std::mutex stderr_mutex;
  std::lock_guard<std::mutex> lock(stderr_mutex);
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed standard error silences progress, nothing more
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void report(std::string_view text) {
  const RunContext* context = current_run_context();
  if (context != nullptr && context->progress_sink() != nullptr) {
    context->progress_sink()->write(text);
  } else {
    write_stderr(text);
  }
}

std::string detail::rate_text(double rate) {
  if (rate >= 1'000'000.0) return fixed(rate / 1e6, 1) + "M/s";
  if (rate >= 1000.0) return fixed(rate / 1000.0, 1) + "k/s";
  return fixed(rate, 0) + "/s";
}

Progress::Progress(std::string name, uint64_t total)
    : name_(std::move(name)), start_(Clock::now()), last_print_(start_ - std::chrono::seconds(1)), total_(total) {
  if (RunContext* context = current_run_context()) context->enter_stage(name_);
  report(fmt::format("  {}: starting ({} items)\n", name_, total_));
}

double Progress::seconds_since_start(Clock::time_point now) const {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
  return static_cast<double>(ns / 1'000'000'000) + static_cast<double>(ns % 1'000'000'000) / 1e9;
}

void Progress::tick(uint64_t done) {
  if (finished_) return;
  const auto now = Clock::now();
  if (now - last_print_ < std::chrono::milliseconds(200)) return;
  last_print_ = now;
  const double rate = static_cast<double>(done) / std::max(seconds_since_start(now), 0.001);
  if (total_ > 0) {
    const double percent = static_cast<double>(done) / static_cast<double>(total_) * 100.0;
    std::string pct = fixed(percent, 1);
    report(fmt::format("\r  {}: {:>5}%  {} / {}  ({})        ", name_, pct, done, total_, detail::rate_text(rate)));
  } else {
    report(fmt::format("\r  {}: {} items  ({})        ", name_, done, detail::rate_text(rate)));
  }
}

void Progress::finish() {
  if (finished_) return;
  finished_ = true;
  const double elapsed = seconds_since_start(Clock::now());
  if (total_ == 0) {
    report(fmt::format("\r  {}: done in {}s        \n", name_, fixed(elapsed, 2)));
  } else {
    const double rate = static_cast<double>(total_) / std::max(elapsed, 0.001);
    report(fmt::format("\r  {}: done {} items in {}s ({})        \n", name_, total_, fixed(elapsed, 2),
                       detail::rate_text(rate)));
  }
}

}  // namespace morvane
