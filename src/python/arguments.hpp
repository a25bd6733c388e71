// The calling convention of every entry point: positional and keyword arguments are matched to
// the parameters (arity errors worded like the interpreter's own), then converted one by one in
// declaration order, the first failure ending the call. An exact TypeError of a conversion is
// re-raised as "argument '{name}': {message}", keeping its cause; other conversion errors
// (OverflowError, UnicodeEncodeError) pass unchanged.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "errors.hpp"

namespace morvane::py {

// The parameters of one entry point: positional ones, all required and also accepted by keyword,
// then keyword-only ones, all optional.
struct Signature {
  const char* display_name;  // as messages show it: "load()", "Mesh.from_numpy()"
  std::span<const char* const> positional;
  std::span<const char* const> keyword_only;

  std::size_t size() const { return positional.size() + keyword_only.size(); }
  // Parameter i in declaration order.
  const char* name(std::size_t i) const {
    return i < positional.size() ? positional[i] : keyword_only[i - positional.size()];
  }
};

// Raises TypeError "'{type name}' object cannot be converted to '{target}'".
[[noreturn]] void throw_cannot_convert(PyObject* value, const char* target);

// Converters of one value each. On failure they set the Python exception and throw PythonErrorSet.
uint64_t to_unsigned(PyObject* value);  // int, bool, anything with __index__; OverflowError outside 0..2^64-1
double to_float(PyObject* value);       // whatever float() of the C API takes
bool to_bool(PyObject* value);          // True, False or a NumPy bool scalar; never the ints 0 and 1
std::string to_str(PyObject* value);    // str and its subclasses only, as UTF-8

class Arguments {
 public:
  // Matches the call's arguments; raises the interpreter's TypeError on a failed match.
  Arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

  // A positional parameter (always given once matching succeeded).
  template <class Convert>
  decltype(auto) required(const char* name, Convert&& convert) {
    return convert_named(name, given(name), convert);
  }

  // A keyword-only parameter; `fallback` when it was not given.
  template <class T, class Convert>
  T keyword(const char* name, T fallback, Convert&& convert) {
    PyObject* value = given(name);
    if (!value) return fallback;
    return convert_named(name, value, convert);
  }

  // A keyword-only parameter that may be None; None counts as not given.
  template <class Convert>
  auto keyword_or_none(const char* name, Convert&& convert)
      -> std::optional<std::decay_t<std::invoke_result_t<Convert&, PyObject*>>> {
    PyObject* value = given(name);
    if (!value || value == Py_None) return std::nullopt;
    return convert_named(name, value, convert);
  }

 private:
  // The argument for `name` (borrowed), or null when not given.
  PyObject* given(const char* name) const;

  template <class Convert>
  static decltype(auto) convert_named(const char* name, PyObject* value, Convert& convert) {
    try {
      return convert(value);
    } catch (const PythonErrorSet&) {
      name_type_error(name);
      throw;
    }
  }

  // Re-raises a pending exact TypeError as "argument '{name}': {message}" with the same cause.
  static void name_type_error(const char* name);

  const Signature& signature_;
  std::vector<PyObject*> values_;  // borrowed, positional parameters first; null when not given
};

}  // namespace morvane::py
