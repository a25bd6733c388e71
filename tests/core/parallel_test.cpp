#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <tbb/task_arena.h>
#include <tbb/task_scheduler_observer.h>

#include "core/parallel.hpp"
#include "core/proxy.hpp"
#include "support/test_meshes.hpp"

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
    with_worker_count(workers, [&] { parallel_for_each_index(0, hits.size(), [&](std::size_t i) { ++hits[i]; }, 64); });
    for (const auto& h : hits) ASSERT_EQ(h.load(), 1);
  }
  std::vector<int> untouched(3, 0);
  parallel_for_each_index(2, 2, [&](std::size_t i) { untouched[i] = 1; });
  EXPECT_EQ(untouched, std::vector<int>(3, 0));

  // The first hit wins however the chunks are handed out, also when later chunks hit first.
  for (int workers : {1, 4}) {
    with_worker_count(workers, [&] {
      for (std::size_t first : {std::size_t{0}, std::size_t{777}, std::size_t{99998}}) {
        EXPECT_EQ(parallel_find_first(0, 100000, [&](std::size_t i) { return i >= first && i % 3 == first % 3; }, 16),
                  first);
      }
      EXPECT_EQ(parallel_find_first(5, 100000, [](std::size_t) { return false; }, 16), 100000u);
    });
  }
}

// Run again by ctest with RAYON_NUM_THREADS=1: then every loop must keep to one thread, however
// many loops ran before and whichever thread started them, and loops of calls on several threads
// at once never run on more threads together than the pool has workers.
TEST(PoolArena, EveryLoopKeepsToThePoolsWorkerCount) {
  std::mutex mutex;
  std::set<std::thread::id> threads;
  int widest = 0;
  auto loops = [&] {
    for (int loop = 0; loop < 4; ++loop) {
      parallel_for_chunks(0, 1 << 16, 256, [&](std::size_t, std::size_t) {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        widest = std::max(widest, tbb::this_task_arena::max_concurrency());
      });
    }
  };
  loops();
  std::thread(loops).join();
  EXPECT_EQ(static_cast<std::size_t>(widest), pool_worker_count());
  if (pool_worker_count() == 1) EXPECT_EQ(threads.size(), 2u);  // the two calling threads, one at a time

  std::atomic<std::size_t> busy{0};
  std::atomic<std::size_t> most_busy{0};
  auto slow_loops = [&] {
    for (int loop = 0; loop < 20; ++loop) {
      parallel_for_chunks(0, 16, 1, [&](std::size_t, std::size_t) {
        const std::size_t now = ++busy;
        for (std::size_t seen = most_busy.load(); now > seen && !most_busy.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // long enough for chunks to overlap
        --busy;
      });
    }
  };
  std::vector<std::thread> calls;
  for (int call = 0; call < 4; ++call) calls.emplace_back(slow_loops);
  for (std::thread& call : calls) call.join();
  EXPECT_LE(most_busy.load(), pool_worker_count());
}

// Counts the worker threads that enter one arena, through the pool library's own entry notices.
class WorkerWatch : public tbb::task_scheduler_observer {
 public:
  explicit WorkerWatch(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
  ~WorkerWatch() override { observe(false); }

  void on_scheduler_entry(bool is_worker) override {
    if (is_worker) ++workers_;
  }
  int workers() const { return workers_.load(); }

 private:
  std::atomic<int> workers_{0};
};

// Run again by ctest with RAYON_NUM_THREADS=1. A whole proxy call, every stage of both paths, started
// from a thread that sits in a wide arena of its own, never brings a worker into that arena: every
// loop ran in the pool's arena, whose own concurrency query gives the configured count (with one
// worker, no second thread is ever busy).
TEST(PoolArena, AWholeProxyCallKeepsToThePoolsWorkerCount) {
  const Mesh input = test::make_torus(1.0, 0.3, 64, 32);
  ProxyParams sdf;
  sdf.voxel_res = 48;
  sdf.remesh = 2;
  sdf.bilateral = true;
  ProxyParams voxel;
  voxel.voxel_res = 48;
  voxel.use_sdf = false;
  voxel.offset = 1.0;
  auto call = [&] {
    tbb::task_arena callers_arena(8);
    WorkerWatch escaped(callers_arena);
    callers_arena.execute([&] {
      for (const ProxyParams& params : {sdf, voxel}) generate_proxy_mesh(input.positions, input.indices, params);
    });
    EXPECT_EQ(escaped.workers(), 0);
  };
  call();
  std::thread(call).join();
  EXPECT_EQ(static_cast<std::size_t>(detail::pool_arena().max_concurrency()), pool_worker_count());
}

// Run again by ctest with RAYON_NUM_THREADS=1. While another call's loop holds every thread of
// the pool, a call whose loop waits for its turn leaves as soon as it is stopped, and the other
// call's loop goes on to its end.
TEST(PoolArena, AStoppedCallDoesNotWaitForAnotherCallsLoop) {
  const std::size_t workers = pool_worker_count();
  std::atomic<std::size_t> holding{0};
  std::atomic<bool> released{false};
  // A safety net for a failure only: the checks below never wait for it.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto wait_until = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  };
  std::atomic<std::size_t> held_chunks{0};
  std::thread other_call([&] {
    parallel_for_chunks(0, workers, 1, [&](std::size_t lo, std::size_t hi) {
      ++holding;
      wait_until([&] { return released.load(); });
      held_chunks += hi - lo;
    });
  });
  if (!wait_until([&] { return holding.load() == workers; })) {
    released = true;
    other_call.join();
    FAIL() << "the pool's threads did not all join";
  }

  RunContext context;
  std::atomic<bool> interrupted{false};
  std::atomic<bool> left{false};
  std::thread stopped_call([&] {
    RunScope scope(&context);
    try {
      // Should a thread of the pool be free after all, the loop runs, and ends once stopped.
      parallel_for_chunks(0, 64, 1,
                          [&](std::size_t, std::size_t) { wait_until([&] { return context.stop_requested(); }); });
    } catch (const Interrupted&) {
      interrupted = true;
    }
    left = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // most likely waiting for the pool by now
  context.request_stop();
  const bool left_first = wait_until([&] { return left.load(); });
  released = true;
  other_call.join();
  stopped_call.join();
  EXPECT_TRUE(left_first) << "the stopped call waited for the other call's loop";
  EXPECT_TRUE(interrupted.load());
  EXPECT_EQ(held_chunks.load(), workers);
}

TEST(RunContext, AStopRequestEndsSerialAndParallelWorkWithInterrupted) {
  RunContext context;
  RunScope scope(&context);
  EXPECT_NO_THROW(throw_if_stopped());

  std::atomic<std::size_t> covered{0};
  const std::size_t count = 1 << 20;
  EXPECT_THROW(parallel_for_chunks(0, count, 64,
                                   [&](std::size_t lo, std::size_t hi) {
                                     if (lo == 0) context.request_stop();
                                     // a loop nested in a chunk sees the caller's request too
                                     if (lo > 0) parallel_for_chunks(0, 2, 1, [](auto, auto) {});
                                     covered += hi - lo;
                                   }),
               Interrupted);
  EXPECT_LT(covered.load(), count);
  EXPECT_THROW(throw_if_stopped(), Interrupted);
  {
    RunScope none(nullptr);  // work outside any request never stops
    EXPECT_NO_THROW(parallel_for_chunks(0, 8, 1, [](auto, auto) {}));
  }
}

}  // namespace
}  // namespace morvane
