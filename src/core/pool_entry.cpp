// How the loops of calls' threads get into the pool's arena.
//
// A thread that finds no free slot in an arena is left by oneTBB to wait in the arena's own task
// loop, where it runs whatever it finds, other calls' loops included, and cannot leave before
// they are done: its call would not stop, however early it was asked to. So only one calling
// thread at a time enters the arena, through the slot reserved for such threads, which no worker
// takes; waiting for its loops, isolated, it runs only their chunks. A thread that finds that
// slot taken queues for it and meanwhile hands its loop to the workers, if the pool has any
// besides the slot: whichever comes first runs the loop. It leaves the queue as soon as its call
// is stopped, unless its loop has started, which then soon ends by its own polls. At most one
// calling thread and the workers run loops at any time, so the worker count holds (with one
// worker, oneTBB's arena has room for a second thread, which stays unused).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "parallel.hpp"

namespace morvane::detail {
namespace {

// How often a waiting thread looks whether its call was stopped: a stop request is a flag that
// nobody announces, and a stop should take effect well within what a user notices.
constexpr std::chrono::milliseconds kStopPollInterval{10};

// A loop whose thread waits for the slot. Handed to the workers as well, it is run by the first
// to move it out of Waiting: a worker (Running, then Done) or its own thread, which takes the slot
// or leaves because its call was stopped (Withdrawn) while the workers' task may still be queued.
struct Waiter {
  enum class State { Waiting, Running, Done, Withdrawn };
  Waiter(LoopRef loop, RunContext* context) : loop(loop), context(context) {}

  State state = State::Waiting;  // guarded by the entry's mutex, as is the rest
  LoopRef loop;
  RunContext* context;
  std::exception_ptr failure;  // of a loop run by a worker
  std::condition_variable wake;
};

class PoolEntry {
 public:
  void run(LoopRef loop) {
    RunContext* context = morvane::current_run_context();
    std::unique_lock<std::mutex> lock(mutex_);
    // With workers, whoever finds the slot free takes it: the queued loops are theirs as well.
    if (!slot_taken_ && (queue_.empty() || pool_has_workers())) return run_on_slot(lock, loop);

    auto waiter = std::make_shared<Waiter>(loop, context);
    queue_.push_back(waiter.get());
    if (pool_has_workers()) {
      lock.unlock();
      try {
        pool_arena().enqueue([this, waiter] { run_on_worker(*waiter); });
      } catch (const std::runtime_error& e) {
        lock.lock();
        withdraw(*waiter);
        rethrow_if_thread_start_failure(e);
        throw;
      }
      lock.lock();
    }
    while (waiter->state != Waiter::State::Done) {
      if (waiter->state == Waiter::State::Waiting) {
        if (context != nullptr && context->stop_requested()) {
          withdraw(*waiter);
          throw Interrupted();
        }
        if (!slot_taken_ && queue_.front() == waiter.get()) {
          withdraw(*waiter);
          return run_on_slot(lock, loop);
        }
      }
      waiter->wake.wait_for(lock, kStopPollInterval);
    }
    if (waiter->failure) std::rethrow_exception(waiter->failure);
  }

 private:
  static bool pool_has_workers() {
    static const bool has_workers = pool_arena().max_concurrency() > 1;
    return has_workers;
  }

  // With the lock held: takes the slot, which the caller found free, and runs the loop there.
  void run_on_slot(std::unique_lock<std::mutex>& lock, LoopRef loop) {
    slot_taken_ = true;
    lock.unlock();
    struct FreeSlot {
      PoolEntry& entry;
      ~FreeSlot() {
        const std::lock_guard<std::mutex> guard(entry.mutex_);
        entry.slot_taken_ = false;
        entry.wake_first();
      }
    } free_slot{*this};
    try {
      run_in_arena(pool_arena(), loop);
    } catch (const std::runtime_error& e) {
      rethrow_if_thread_start_failure(e);
      throw;
    }
  }

  // On a worker: runs the loop unless its thread has taken it back.
  void run_on_worker(Waiter& waiter) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (waiter.state != Waiter::State::Waiting) return;
      waiter.state = Waiter::State::Running;
      leave_queue(waiter);
    }
    try {
      RunScope scope(waiter.context);
      run_isolated(pool_arena(), waiter.loop);
    } catch (...) {
      waiter.failure = std::current_exception();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    waiter.state = Waiter::State::Done;
    waiter.wake.notify_one();
  }

  // With the lock held, by the waiter's own thread.
  void withdraw(Waiter& waiter) {
    waiter.state = Waiter::State::Withdrawn;
    leave_queue(waiter);
  }

  void leave_queue(Waiter& waiter) {
    queue_.erase(std::find(queue_.begin(), queue_.end(), &waiter));
    wake_first();
  }

  // With the lock held: tells the first in the queue that the slot may be its now.
  void wake_first() {
    if (!slot_taken_ && !queue_.empty()) queue_.front()->wake.notify_one();
  }

  std::mutex mutex_;
  bool slot_taken_ = false;
  std::deque<Waiter*> queue_;  // threads whose loop waits, oldest first
};

}  // namespace

void run_in_pool(LoopRef loop) {
  // Never destroyed: a worker may still take the task of a withdrawn loop while the process exits.
  static PoolEntry* const entry = new PoolEntry;
  entry->run(loop);
}

}  // namespace morvane::detail
