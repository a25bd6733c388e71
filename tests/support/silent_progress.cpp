// Every test runs with its progress going nowhere, so that the test log holds only failures; a
// test that reads progress installs a CapturedProgress, which takes over within its scope.
#include <gtest/gtest.h>

#include <optional>

#include "core/progress.hpp"
#include "core/run_context.hpp"

namespace morvane::test {
namespace {

class SilentSink : public ProgressSink {
 public:
  void write(std::string_view) override {}
};

class SilentProgress : public testing::Environment {
 public:
  void SetUp() override {
    context_.set_progress_sink(&sink_);
    scope_.emplace(&context_);
  }
  void TearDown() override { scope_.reset(); }

 private:
  SilentSink sink_;
  RunContext context_;
  std::optional<RunScope> scope_;
};

const testing::Environment* const kSilentProgress = testing::AddGlobalTestEnvironment(new SilentProgress);

}  // namespace
}  // namespace morvane::test
