// Argument matching and the converters of the calling convention.
#include "arguments.hpp"

#include <fmt/format.h>

#include <cstring>
#include <stdexcept>

namespace morvane::py {

namespace {

[[noreturn]] void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonErrorSet{};
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) list += ',';
      list += i + 1 == names.size() ? " and " : " ";
    }
    list += fmt::format("'{}'", names[i]);
  }
  return list;
}

// True for NumPy's boolean scalar type: "bool_" (NumPy 1) or "bool" (NumPy 2) in module "numpy".
bool is_numpy_bool_type(PyTypeObject* type) {
  auto attribute_is = [type](const char* attribute, std::initializer_list<const char*> names) {
    PyRef value = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
    if (!value) {
      PyErr_Clear();
      return false;
    }
    if (!PyUnicode_Check(value.get())) return false;
    for (const char* name : names) {
      if (PyUnicode_CompareWithASCIIString(value.get(), name) == 0) return true;
    }
    return false;
  };
  return attribute_is("__module__", {"numpy"}) && attribute_is("__name__", {"bool_", "bool"});
}

}  // namespace

void throw_cannot_convert(PyObject* value, const char* target) {
  PyRef type_name = owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
  PyErr_Format(PyExc_TypeError, "'%S' object cannot be converted to '%s'", type_name.get(), target);
  throw PythonErrorSet{};
}

uint64_t to_unsigned(PyObject* value) {
  PyRef index = owned(PyNumber_Index(value));
  const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return result;
}

double to_float(PyObject* value) {
  const double result = PyFloat_AsDouble(value);
  if (result == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
  return result;
}

bool to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  PyTypeObject* type = Py_TYPE(value);
  if (!is_numpy_bool_type(type)) throw_cannot_convert(value, "PyBool");

  PyRef method = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
  if (!method) {
    PyErr_Clear();
    PyRef type_name = owned(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type_name.get());
    throw PythonErrorSet{};
  }
  PyRef result = owned(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
  if (result.get() == Py_True) return true;
  if (result.get() == Py_False) return false;
  throw_cannot_convert(result.get(), "PyBool");
}

std::string to_str(PyObject* value) {
  if (!PyUnicode_Check(value)) throw_cannot_convert(value, "PyString");
  PyRef bytes = owned(PyUnicode_AsUTF8String(value));
  char* data = nullptr;
  Py_ssize_t size = 0;
  check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &size));
  return std::string(data, static_cast<std::size_t>(size));
}

Arguments::Arguments(const Signature& signature, PyObject* args, PyObject* kwargs)
    : signature_(signature), values_(signature.size(), nullptr) {
  const std::size_t positional_count = signature.positional.size();
  const Py_ssize_t given_count = PyTuple_Size(args);
  if (given_count < 0) throw PythonErrorSet{};
  const auto given_positional = static_cast<std::size_t>(given_count);
  if (given_positional > positional_count) {
    throw_type_error(fmt::format("{} takes {} positional arguments but {} {} given", signature.display_name,
                                 positional_count, given_positional, given_positional == 1 ? "was" : "were"));
  }
  for (std::size_t i = 0; i < given_positional; ++i) {
    values_[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      std::size_t slot = values_.size();
      for (std::size_t i = 0; i < values_.size(); ++i) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, signature.name(i)) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == values_.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", signature.display_name, key);
        throw PythonErrorSet{};
      }
      if (values_[slot]) {
        throw_type_error(
            fmt::format("{} got multiple values for argument '{}'", signature.display_name, signature.name(slot)));
      }
      values_[slot] = value;
    }
  }

  std::vector<const char*> missing;
  for (std::size_t i = given_positional; i < positional_count; ++i) {
    if (!values_[i]) missing.push_back(signature.positional[i]);
  }
  if (!missing.empty()) {
    throw_type_error(fmt::format("{} missing {} required positional {}: {}", signature.display_name, missing.size(),
                                 missing.size() == 1 ? "argument" : "arguments", quoted_name_list(missing)));
  }
}

PyObject* Arguments::given(const char* name) const {
  for (std::size_t i = 0; i < values_.size(); ++i) {
    if (std::strcmp(signature_.name(i), name) == 0) return values_[i];
  }
  throw std::logic_error(fmt::format("{} has no parameter '{}'", signature_.display_name, name));
}

void Arguments::name_type_error(const char* name) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (type != PyExc_TypeError || !value) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyRef old_type = PyRef::steal(type);
  PyRef old_value = PyRef::steal(value);
  PyRef old_traceback = PyRef::steal(traceback);

  PyRef text = PyRef::steal(PyObject_Str(old_value.get()));
  PyRef message = text ? PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get())) : PyRef();
  PyRef renamed =
      message ? PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr)) : PyRef();
  if (!renamed) return;  // the failure to build it is the pending error now
  // Restore, not SetObject: the new error must not get the old one as its __context__.
  PyException_SetCause(renamed.get(), PyException_GetCause(old_value.get()));
  Py_INCREF(PyExc_TypeError);
  PyErr_Restore(PyExc_TypeError, renamed.release(), nullptr);
}

}  // namespace morvane::py
