// Owners of Python references: every strong reference the module holds is released by a
// destructor, so early returns and C++ exceptions leak nothing. Used only with the interpreter
// lock held; no owner is kept alive across a section that runs without it.
#pragma once

#include <Python.h>

#include <utility>

namespace morvane::py {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) {
    PyRef ref;
    ref.object_ = object;
    return ref;
  }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return steal(object);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller (to return it to the interpreter, or to a stealing call).
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace morvane::py
