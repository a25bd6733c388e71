// Running work with the interpreter lock released, so that other Python threads go on meanwhile.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace morvane::py {

// Runs `work` without the interpreter lock and returns its result. `work` must touch no Python
// object: convert and copy every argument before. The lock is taken back in the normal flow (never
// in a destructor) before a C++ exception of `work` continues to the caller, so the failure guard
// sets the Python exception with the lock held; the work's own lists are released before that.
template <class Work>
std::invoke_result_t<Work&> run_unlocked(Work&& work) {
  using Result = std::invoke_result_t<Work&>;
  std::exception_ptr failure;
  std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<Result>) {
      work();
      result.emplace(true);
    } else {
      result.emplace(work());
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended; it must not take the lock again
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(state);
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace morvane::py
