// The process-wide worker pool and the parallel loops of the core.
//
// Every parallel loop writes its results by index, so its output never depends on how the
// work was split or scheduled. A loop started on a thread that already runs inside a oneTBB
// arena (a test that pins the worker count, or a nested loop) stays in that arena.
#pragma once

#include <cstddef>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace morvane {

// Worker count of the pool: RAYON_NUM_THREADS when it is a positive number (0 means every
// logical CPU); when unset or not a number, RAYON_RS_NUM_CPUS when positive; else the logical
// CPU count available to the process.
std::size_t pool_worker_count();

namespace detail {
tbb::task_arena& pool_arena();

template <class F>
void in_pool(F&& f) {
  if (tbb::this_task_arena::current_thread_index() == tbb::task_arena::not_initialized) {
    pool_arena().execute(f);
  } else {
    f();
  }
}
}  // namespace detail

// body(lo, hi) for consecutive sub-ranges covering [begin, end), each at most about `grain` long.
template <class F>
void parallel_for_chunks(std::size_t begin, std::size_t end, std::size_t grain, F&& body) {
  if (begin >= end) return;
  detail::in_pool([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(begin, end, grain < 1 ? 1 : grain),
                      [&](const tbb::blocked_range<std::size_t>& r) { body(r.begin(), r.end()); });
  });
}

// body(i) for every i in [begin, end).
template <class F>
void parallel_for_each_index(std::size_t begin, std::size_t end, F&& body, std::size_t grain = 1024) {
  parallel_for_chunks(begin, end, grain, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) body(i);
  });
}

}  // namespace morvane
