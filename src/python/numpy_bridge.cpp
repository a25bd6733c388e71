// Array checks and copies between NumPy and the core's flat lists. Elements are copied with
// memcpy through byte strides: a strided view may be reversed (negative strides), transposed or
// unaligned (np.frombuffer at an odd offset), and none of that may be read as a plain pointer.
#include "numpy_bridge.hpp"

#include <numpy/arrayobject.h>

#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "arguments.hpp"
#include "common/memory_guard.hpp"
#include "core/core_errors.hpp"
#include "common/numeric.hpp"
#include "errors.hpp"
#include "thread_start.hpp"

namespace morvane::py {

static_assert(sizeof(Vec3) == 3 * sizeof(double) && sizeof(Tri) == 3 * sizeof(uint32_t));

namespace {

// Binds NumPy's C API once per process (called with the interpreter lock, like every caller).
// The import runs NumPy's own Python modules, inside which a signal handler of the main thread
// could raise (Ctrl-C: KeyboardInterrupt) and leave NumPy half-initialised, unable to load again
// in this process. So it runs on a thread of its own, where handlers never run, and a signal that
// came meanwhile is acted on once the import is done. A failed import is not remembered: the next
// array operation imports again.
void require_numpy() {
  if (PyArray_API) return;
  bool imported = false;
  std::string failure;
  std::exception_ptr broken;
  std::thread importer = start_thread("to import NumPy", [&] {
    const PyGILState_STATE gil = PyGILState_Ensure();
    try {
      imported = _import_array() >= 0;
      if (!imported) {
        PyArray_API = nullptr;  // _import_array sets it before checks that may still fail
        failure = take_error_text();
      }
    } catch (...) {
      broken = std::current_exception();
    }
    PyGILState_Release(gil);
  });
  PyThreadState* state = PyEval_SaveThread();
  importer.join();
  PyEval_RestoreThread(state);
  check_status(PyErr_CheckSignals());
  if (broken) std::rethrow_exception(broken);
  if (!imported) throw InternalError("Failed to access NumPy array API capsule: " + failure);
}

PyObject* as_matrix(PyObject* value, int type_number) {
  require_numpy();
  bool matches = false;
  if (PyArray_Check(value) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) == 2) {
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
    if (!wanted) throw PythonErrorSet{};
    matches = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(value)), wanted);
    Py_DECREF(wanted);
  }
  if (!matches) throw_cannot_convert(value, "PyArray<T, D>");
  return value;
}

template <class Row>
std::vector<Row> copy_rows(PyObject* matrix) {
  require_numpy();
  auto* array = reinterpret_cast<PyArrayObject*>(matrix);
  const auto rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
  const npy_intp row_stride = PyArray_STRIDE(array, 0);
  const npy_intp column_stride = PyArray_STRIDE(array, 1);
  const char* data = PyArray_BYTES(array);
  // A broadcast view (stride 0) can claim far more rows than memory holds.
  require_memory(saturating_mul(rows, sizeof(Row)), "a copy of the array");
  std::vector<Row> out(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    const char* row = data + static_cast<npy_intp>(i) * row_stride;
    for (std::size_t j = 0; j < 3; ++j) {
      std::memcpy(&out[i][j], row + static_cast<npy_intp>(j) * column_stride, sizeof(out[i][j]));
    }
  }
  return out;
}

template <class Row>
PyRef rows_array(std::span<const Row> rows, int type_number) {
  require_numpy();
  npy_intp dims[2] = {static_cast<npy_intp>(rows.size()), 3};
  PyRef array = owned(PyArray_SimpleNew(2, dims, type_number));
  void* data = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()));
  if (!rows.empty()) std::memcpy(data, rows.data(), rows.size_bytes());
  return array;
}

}  // namespace

PyObject* as_float64_matrix(PyObject* value) { return as_matrix(value, NPY_FLOAT64); }
PyObject* as_uint32_matrix(PyObject* value) { return as_matrix(value, NPY_UINT32); }

std::size_t column_count(PyObject* matrix) {
  return static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(matrix), 1));
}

std::vector<Vec3> copy_positions(PyObject* matrix) { return copy_rows<Vec3>(matrix); }
std::vector<Tri> copy_triangles(PyObject* matrix) { return copy_rows<Tri>(matrix); }

PyRef positions_array(std::span<const Vec3> positions) { return rows_array(positions, NPY_FLOAT64); }
PyRef triangles_array(std::span<const Tri> triangles) { return rows_array(triangles, NPY_UINT32); }

}  // namespace morvane::py
