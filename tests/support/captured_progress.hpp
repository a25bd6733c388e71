// Progress of the code run in a scope, kept in a string instead of going to standard error: tests
// read the lines they check, and keep the others out of the test log.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "core/progress.hpp"
#include "core/run_context.hpp"

namespace morvane::test {

class CapturedProgress : public ProgressSink {
 public:
  CapturedProgress() { context_.set_progress_sink(this); }

  void write(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_ += text;
  }

  // What was written since the last call.
  std::string take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(text_, {});
  }

 private:
  std::mutex mutex_;
  std::string text_;
  RunContext context_;
  RunScope scope_{&context_};
};

}  // namespace morvane::test
