// The class Mesh as a heap type on the stable ABI: no constructor (instances come from
// from_numpy and the module functions), not subclassable, no __dict__, read-only counts.
#include "mesh_type.hpp"

#include <memory>

#include "arguments.hpp"
#include "errors.hpp"
#include "numpy_bridge.hpp"

namespace morvane::py {

namespace {

struct MeshObject {
  PyObject_HEAD
  Mesh* mesh;  // owned; set as soon as the object exists
};

const Mesh& payload(PyObject* self) { return *reinterpret_cast<MeshObject*>(self)->mesh; }

PyObject* mesh_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for Mesh");
  return nullptr;
}

void mesh_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<MeshObject*>(self)->mesh;
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

PyObject* mesh_repr(PyObject* self) {
  return guarded([&] {
    const Mesh& mesh = payload(self);
    return PyUnicode_FromFormat("Mesh(vertices=%zu, faces=%zu)", mesh.positions.size(), mesh.indices.size());
  });
}

PyObject* vertex_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(payload(self).positions.size()); });
}

PyObject* face_count(PyObject* self, void*) {
  return guarded([&] { return PyLong_FromSize_t(payload(self).indices.size()); });
}

PyObject* positions(PyObject* self, PyObject*) {
  return guarded([&] { return positions_array(payload(self).positions).release(); });
}

PyObject* indices(PyObject* self, PyObject*) {
  return guarded([&] { return triangles_array(payload(self).indices).release(); });
}

constexpr const char* kFromNumpyPositional[] = {"positions", "indices"};
constexpr Signature kFromNumpy{"Mesh.from_numpy()", kFromNumpyPositional, {}};

PyObject* from_numpy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kFromNumpy, args, kwargs);
    PyObject* positions = arguments.required("positions", as_float64_matrix);
    PyObject* indices = arguments.required("indices", as_uint32_matrix);
    if (column_count(positions) != 3) throw ModuleError("positions must have 3 columns");
    if (column_count(indices) != 3) throw ModuleError("indices must have 3 columns");
    return new_mesh_object(Mesh{copy_positions(positions), copy_triangles(indices)}).release();
  });
}

constexpr const char* kMeshDoc =
    "A mesh: positions and triangle indices.\n"
    "\n"
    "Construct one from numpy arrays via `Mesh.from_numpy(positions, indices)`,\n"
    "from a file via `load(path)`, or get one back from `generate_proxy()`.";

constexpr const char* kPositionsDoc =
    "positions($self)\n"
    "--\n"
    "\n"
    "Positions as a numpy array of shape (N, 3), float64.";

constexpr const char* kIndicesDoc =
    "indices($self)\n"
    "--\n"
    "\n"
    "Triangle indices as a numpy array of shape (M, 3), uint32.";

constexpr const char* kFromNumpyDoc =
    "from_numpy(positions, indices)\n"
    "--\n"
    "\n"
    "Build a Mesh from numpy arrays.\n"
    "\n"
    "`positions` must be (N, 3) float64; `indices` must be (M, 3) uint32.\n"
    "Use `arr.astype(np.float64)` / `arr.astype(np.uint32)` upstream if\n"
    "your data is in another dtype.";

PyGetSetDef kGetters[] = {
    {"vertex_count", vertex_count, nullptr, nullptr, nullptr},
    {"face_count", face_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"positions", positions, METH_NOARGS, kPositionsDoc},
    {"indices", indices, METH_NOARGS, kIndicesDoc},
    {"from_numpy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_numpy)),
     METH_VARARGS | METH_KEYWORDS | METH_STATIC, kFromNumpyDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kMeshDoc)},
    {Py_tp_new, reinterpret_cast<void*>(mesh_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(mesh_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(mesh_repr)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

// The qualified name gives the class the __module__ "morvane_reduce"; a bare name makes CPython
// warn (DeprecationWarning) when the class is created, which fails imports under -W error.
PyType_Spec kSpec{"morvane_reduce.Mesh", sizeof(MeshObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* mesh_type() {
  static PyObject* type = nullptr;  // made once per process, under the interpreter lock
  if (!type) type = owned(PyType_FromSpec(&kSpec)).release();
  return type;
}

PyRef new_mesh_object(Mesh mesh) {
  auto held = std::make_unique<Mesh>(std::move(mesh));
  PyRef object = owned(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(mesh_type()), 0));
  reinterpret_cast<MeshObject*>(object.get())->mesh = held.release();
  return object;
}

const Mesh& mesh_of(PyObject* value) {
  if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(mesh_type())) throw_cannot_convert(value, "Mesh");
  return payload(value);
}

HeldMesh hold_mesh(PyObject* value) {
  const Mesh& mesh = mesh_of(value);
  return {PyRef::borrow(value), &mesh};
}

}  // namespace morvane::py
