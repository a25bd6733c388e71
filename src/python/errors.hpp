// How failures cross into Python. Every entry point runs its body under `guarded`, which turns a
// C++ exception into the matching Python exception: the module's own failures (bad input, file
// errors, settings) become ValueError, an exhausted memory MemoryError, and anything else, being a
// broken invariant, PanicException (a BaseException, so ordinary `except Exception` handlers do
// not swallow it) after a report on standard error.
#pragma once

#include <Python.h>
#include <cxxabi.h>

#include <source_location>
#include <stdexcept>
#include <string>

#include "py_ref.hpp"

namespace morvane::py {

// Thrown once a Python exception has been set; the entry point returns NULL with it.
struct PythonErrorSet {};

// A failure of the module's own making, raised as ValueError with its text.
class ModuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The new reference a C API call returned, or PythonErrorSet when it returned NULL.
PyRef owned(PyObject* result);

// Throws PythonErrorSet when a C API call reported failure with a negative status.
void check_status(int status);

// Text of the pending Python exception, which is cleared ("unknown error" when it has none).
std::string take_error_text();

// Sets the Python exception for the C++ exception being handled; call only inside a catch block.
void raise_current_exception(const std::source_location& where);

template <class Body>
PyObject* guarded(Body&& body, const std::source_location& where = std::source_location::current()) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;  // the interpreter ends this thread (pthread_exit during finalisation): let it unwind
  } catch (...) {
    raise_current_exception(where);
    return nullptr;
  }
}

}  // namespace morvane::py
