// The mapping of C++ failures to Python exceptions, and the PanicException type.
#include "errors.hpp"

#include <fmt/format.h>

#include <new>
#include <string_view>

#include "common/memory_guard.hpp"
#include "core/core_errors.hpp"
#include "core/progress.hpp"
#include "io/io_error.hpp"

namespace morvane::py {

namespace {

constexpr const char* kPanicDoc =
    "Raised when the module meets an internal failure (a broken invariant).\n\n"
    "Derived from BaseException, like SystemExit, so that it is not caught by handlers of\n"
    "ordinary errors. The call that raised it did nothing further; the module stays usable.";

// Made on the first internal failure and kept for the life of the process.
PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (!type) type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  return type;
}

// Messages may quote file contents, so text that is not UTF-8 is decoded with replacements.
void set_error_text(PyObject* type, std::string_view text) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
}

std::string_view source_path(const std::source_location& where) {
  std::string_view path = where.file_name();
  const std::size_t src = path.rfind("src/");
  return src == std::string_view::npos ? path : path.substr(src);
}

void raise_panic(std::string_view message, const std::source_location& where) {
  write_stderr(fmt::format("morvane_reduce: internal failure in the call at {}:{}: {}\n", source_path(where),
                           where.line(), message));
  if (PyObject* type = panic_exception_type()) set_error_text(type, message);
}

}  // namespace

PyRef owned(PyObject* result) {
  if (!result) throw PythonErrorSet{};
  return PyRef::steal(result);
}

void check_status(int status) {
  if (status < 0) throw PythonErrorSet{};
}

std::string take_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(owned_value ? PyObject_Str(owned_value.get()) : nullptr);
  PyRef bytes = PyRef::steal(text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "replace") : nullptr);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
    PyErr_Clear();
    return "unknown error";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

void raise_current_exception(const std::source_location& where) {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    // already set
  } catch (const OutOfMemory& e) {
    set_error_text(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    set_error_text(PyExc_MemoryError, "out of memory");
  } catch (const ModuleError& e) {
    set_error_text(PyExc_ValueError, e.what());
  } catch (const io::IoError& e) {
    set_error_text(PyExc_ValueError, e.what());
  } catch (const SettingsError& e) {
    set_error_text(PyExc_ValueError, e.what());
  } catch (const InputError& e) {
    set_error_text(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    raise_panic(e.what(), where);
  } catch (...) {
    raise_panic("unknown C++ exception", where);
  }
}

}  // namespace morvane::py
