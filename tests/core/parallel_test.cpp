#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <tbb/task_arena.h>

#include "core/parallel.hpp"

namespace morvane {
namespace {

// Sets (or, with nullopt, removes) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = getenv(name)) old_ = old;
    set(name, value);
  }
  ~ScopedEnv() { set(name_, old_); }

 private:
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }

  const char* name_;
  std::optional<std::string> old_;
};

TEST(PoolWorkerCount, ReadsTheSettingsInOrder) {
  ScopedEnv rs("RAYON_RS_NUM_CPUS", std::nullopt);
  std::size_t all;
  {
    ScopedEnv n("RAYON_NUM_THREADS", std::nullopt);
    all = pool_worker_count();
    EXPECT_GE(all, 1u);
  }
  {
    ScopedEnv n("RAYON_NUM_THREADS", "3");
    EXPECT_EQ(pool_worker_count(), 3u);
  }
  {
    ScopedEnv n("RAYON_NUM_THREADS", "0");  // 0 means every logical CPU
    ScopedEnv r("RAYON_RS_NUM_CPUS", "5");
    EXPECT_EQ(pool_worker_count(), all);
  }
  {
    ScopedEnv n("RAYON_NUM_THREADS", "lots");  // not a number: the second setting decides
    ScopedEnv r("RAYON_RS_NUM_CPUS", "5");
    EXPECT_EQ(pool_worker_count(), 5u);
  }
  {
    ScopedEnv n("RAYON_NUM_THREADS", " 4");
    ScopedEnv r("RAYON_RS_NUM_CPUS", "0");
    EXPECT_EQ(pool_worker_count(), all);
  }
}

TEST(ParallelFor, CoversEveryIndexOnceInAnyArena) {
  for (int workers : {1, 4}) {
    std::vector<std::atomic<int>> hits(10007);
    tbb::task_arena(workers).execute(
        [&] { parallel_for_each_index(0, hits.size(), [&](std::size_t i) { ++hits[i]; }, 64); });
    for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
  }
  std::vector<int> untouched(3, 0);
  parallel_for_each_index(2, 2, [&](std::size_t i) { untouched[i] = 1; });
  EXPECT_EQ(untouched, std::vector<int>(3, 0));
}

}  // namespace
}  // namespace morvane
