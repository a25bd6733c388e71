// The process-wide worker pool and the parallel loops of the core.
//
// Every parallel loop writes its results by index, so its output never depends on how the
// work was split or scheduled. Every loop runs in the pool's arena, whichever thread starts it,
// so the configured worker count holds for every loop of every call; a loop started inside
// another loop's chunk, or inside `with_worker_count`, stays in the arena it is in. Each chunk
// first checks whether the call was asked to stop (run_context.hpp), and a call's thread that
// waits for its loops runs nothing of other calls, so that a stop ends them promptly however
// many calls share the pool (pool_entry.cpp).
#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <type_traits>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>
#include <tbb/task_arena.h>

#include "run_context.hpp"

namespace morvane {

// Worker count of the pool: RAYON_NUM_THREADS when it is a positive number (0 means every
// logical CPU); when unset or not a number, RAYON_RS_NUM_CPUS when positive; else the logical
// CPU count available to the process.
std::size_t pool_worker_count();

namespace detail {
tbb::task_arena& pool_arena();

// The arena that the loops of this thread's current work run in; null outside any.
inline thread_local tbb::task_arena* current_arena = nullptr;

class ArenaScope {
 public:
  explicit ArenaScope(tbb::task_arena* arena) noexcept : previous_(current_arena) { current_arena = arena; }
  ~ArenaScope() { current_arena = previous_; }
  ArenaScope(const ArenaScope&) = delete;
  ArenaScope& operator=(const ArenaScope&) = delete;

 private:
  tbb::task_arena* previous_;
};

// Runs `f` on this thread, already inside `arena`, isolated: while the thread waits for the loops
// of `f`, it runs only their chunks, never those of another call sharing the arena, so that its
// own call's stop is not held up.
template <class F>
void run_isolated(tbb::task_arena& arena, F&& f) {
  ArenaScope scope(&arena);
  tbb::this_task_arena::isolate([&] { f(); });
}

template <class F>
void run_in_arena(tbb::task_arena& arena, F&& f) {
  arena.execute([&] { run_isolated(arena, f); });
}

// oneTBB reports a worker thread that the system cannot start (no address space left for its
// stack, too many threads) as a plain runtime_error. Throws OutOfMemory naming the pool for that
// one, which is an exhausted resource and no broken invariant; returns for any other.
void rethrow_if_thread_start_failure(const std::runtime_error& failure);

// A loop handed to the pool without copying it.
struct LoopRef {
  void (*run)(void* loop);
  void* loop;
  void operator()() const { run(loop); }
};

// Runs `loop` in the pool's arena, isolated, from a thread outside it (pool_entry.cpp). Throws
// Interrupted when this thread's call is stopped while the loop waits for its turn.
void run_in_pool(LoopRef loop);

// Runs `f` in the pool's arena, or directly when this thread is already in an arena.
template <class F>
void in_pool(F&& f) {
  if (current_arena != nullptr) {
    f();
    return;
  }
  using Loop = std::remove_reference_t<F>;
  run_in_pool({[](void* loop) { (*static_cast<Loop*>(loop))(); }, const_cast<void*>(static_cast<const void*>(&f))});
}
}  // namespace detail

// Runs `f` with every parallel loop it starts on `workers` threads (the calling one included)
// instead of the pool: benchmarks and tests compare worker counts within one process.
template <class F>
void with_worker_count(int workers, F&& f) {
  tbb::task_arena arena(workers);
  detail::run_in_arena(arena, f);
}

// body(lo, hi) for consecutive sub-ranges covering [begin, end), each at most about `grain` long.
template <class F>
void parallel_for_chunks(std::size_t begin, std::size_t end, std::size_t grain, F&& body) {
  throw_if_stopped();
  if (begin >= end) return;
  RunContext* context = current_run_context();
  detail::in_pool([&] {
    tbb::task_arena* arena = detail::current_arena;
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, grain < 1 ? 1 : grain),
                      [&](const tbb::blocked_range<std::size_t>& r) {
                        // The chunk may run on a worker thread: give it the caller's arena and context.
                        detail::ArenaScope arena_scope(arena);
                        RunScope run_scope(context);
                        throw_if_stopped();
                        body(r.begin(), r.end());
                      });
  });
}

// body(i) for every i in [begin, end).
template <class F>
void parallel_for_each_index(std::size_t begin, std::size_t end, F&& body, std::size_t grain = 1024) {
  parallel_for_chunks(begin, end, grain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) body(i);
  });
}

// The smallest i in [begin, end) for which pred(i) holds, or end when there is none, whatever the
// split: each chunk stops at its first hit and the smallest hit wins.
template <class Pred>
std::size_t parallel_find_first(std::size_t begin, std::size_t end, Pred&& pred, std::size_t grain = 1 << 14) {
  std::atomic<std::size_t> first{end};
  parallel_for_chunks(begin, end, grain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi && i < first.load(std::memory_order_relaxed); ++i) {
      if (!pred(i)) continue;
      for (std::size_t seen = first.load(std::memory_order_relaxed);
           i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed);) {
      }
      return;
    }
  });
  return first.load(std::memory_order_relaxed);
}

// The largest value(i) over [begin, end), or `lowest` when none is larger, whatever the split;
// a NaN value never wins.
template <class Value>
double parallel_max(std::size_t begin, std::size_t end, double lowest, Value&& value, std::size_t grain = 1 << 14) {
  std::atomic<double> largest{lowest};
  parallel_for_chunks(begin, end, grain, [&](std::size_t lo, std::size_t hi) {
    double chunk = lowest;
    for (std::size_t i = lo; i < hi; ++i) chunk = std::fmax(chunk, value(i));
    for (double seen = largest.load(std::memory_order_relaxed);
         chunk > seen && !largest.compare_exchange_weak(seen, chunk, std::memory_order_relaxed);) {
    }
  });
  return largest.load(std::memory_order_relaxed);
}

// Sorts [begin, end) by `less`, which must order every pair of distinct elements, so that the
// result is the one sorted order whatever the split.
template <class Iterator, class Less>
void parallel_sort(Iterator begin, Iterator end, const Less& less) {
  throw_if_stopped();
  detail::in_pool([&] { tbb::parallel_sort(begin, end, less); });
  throw_if_stopped();
}

}  // namespace morvane
