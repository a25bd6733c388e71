// Start-up of the extension module morvane_reduce: the init function, the module made once per
// process (a re-import after `del sys.modules[...]` yields the same object), the refusal of a
// second interpreter, and the table of the five functions with their signatures and docstrings.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "core/core_errors.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "mesh_type.hpp"

namespace morvane::py {

namespace {

constexpr const char* kModuleDoc = "morvane_reduce: high-performance volume mesh proxy generator.";

constexpr const char* kLoadDoc =
    "load(path)\n"
    "--\n"
    "\n"
    "Load a mesh from a supported format (.obj, .glb, .gltf, .usd, .usda,\n"
    ".usdc). USD files are sniffed, so both crate and ASCII layers work.";

constexpr const char* kSaveDoc =
    "save(mesh, path)\n"
    "--\n"
    "\n"
    "Save a mesh to a supported format (.obj, .glb, .gltf, .usd, .usda,\n"
    ".usdc). `.usd` and `.usdc` write the binary crate format; `.usda`\n"
    "writes ASCII.";

constexpr const char* kGenerateProxyDoc =
    "generate_proxy(mesh, *, quality=None, target_faces=None, voxel_res=128, offset=0.1, close=1, smooth=5, "
    "smooth_lambda=0.5, remesh=0, adaptive_remesh=False, bilateral=False, bilateral_sigma_n=0.3, project=2.0, "
    "use_sdf=True)\n"
    "--\n"
    "\n"
    "Generate a volume proxy mesh.\n"
    "\n"
    "Args:\n"
    "    mesh: Input mesh.\n"
    "    quality: \"fast\", \"balanced\", or \"high\". Overrides voxel_res, smooth,\n"
    "        and remesh when set.\n"
    "    target_faces: Hit a target output face count: picks the voxel\n"
    "        resolution and remesh edge length automatically.\n"
    "    voxel_res: Voxel grid resolution along the longest axis. Default 128.\n"
    "    offset: Outward offset of the proxy surface, in voxel cells.\n"
    "        0.1 = tight wrap with a small standoff; larger = looser hull.\n"
    "    close: Gap-sealing radius in cells (sign classification only).\n"
    "        Seals holes up to ~2x this size in open meshes. Default 1.\n"
    "    smooth: Taubin smoothing iterations. Default 5.\n"
    "    smooth_lambda: Smoothing strength per iteration. Default 0.5.\n"
    "    remesh: Isotropic remeshing iterations. 0 = skip. Default 0.\n"
    "    adaptive_remesh: Curvature-adaptive edge length during remesh.\n"
    "    bilateral: Use feature-preserving bilateral smoothing instead of Taubin.\n"
    "    bilateral_sigma_n: Bilateral normal weight. Lower = sharper features.\n"
    "    project: Max displacement of the final projection onto the offset\n"
    "        surface, in voxel cells. The projection places proxy vertices on\n"
    "        the true input surface. 0 disables. Default 2.0.\n"
    "    use_sdf: Use the exact signed distance field (default True). False\n"
    "        selects the legacy binary voxelization path.\n"
    "\n"
    "Returns:\n"
    "    A new Mesh with the proxy geometry.";

constexpr const char* kGenerateLodChainDoc =
    "generate_lod_chain(mesh, *, levels=4, base_res=128, smooth=5, remesh=3, offset=0.1, close=1, project=2.0)\n"
    "--\n"
    "\n"
    "Generate a full LOD chain.\n"
    "\n"
    "LOD0 is the original mesh; LOD1..N are progressively coarser proxies.";

constexpr const char* kProxyFromPathDoc =
    "proxy_from_path(input_path, output_path, *, quality=None, target_faces=None, voxel_res=128, offset=0.1, "
    "close=1, smooth=5, smooth_lambda=0.5, remesh=0, adaptive_remesh=False, bilateral=False, bilateral_sigma_n=0.3, "
    "project=2.0, use_sdf=True, transfer_normals=True, transfer_uvs=False)\n"
    "--\n"
    "\n"
    "One-shot file-to-file proxy generation.\n"
    "\n"
    "Reads the input mesh, runs the proxy pipeline, writes the output, and\n"
    "returns a result dict. The dict mirrors the CLI's audit JSON loosely:\n"
    "\n"
    "    {\n"
    "        \"input_path\": str,\n"
    "        \"output_path\": str,\n"
    "        \"input_vertices\": int,\n"
    "        \"input_faces\": int,\n"
    "        \"output_vertices\": int,\n"
    "        \"output_faces\": int,\n"
    "        \"wall_seconds\": float,\n"
    "    }\n"
    "\n"
    "This is the path the average pipeline TD wants: no numpy round-trip.";

PyCFunction with_keywords(PyObject* (*function)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kFunctions[] = {
    {"load", with_keywords(load), METH_VARARGS | METH_KEYWORDS, kLoadDoc},
    {"save", with_keywords(save), METH_VARARGS | METH_KEYWORDS, kSaveDoc},
    {"generate_proxy", with_keywords(generate_proxy), METH_VARARGS | METH_KEYWORDS, kGenerateProxyDoc},
    {"generate_lod_chain", with_keywords(generate_lod_chain), METH_VARARGS | METH_KEYWORDS, kGenerateLodChainDoc},
    {"proxy_from_path", with_keywords(proxy_from_path), METH_VARARGS | METH_KEYWORDS, kProxyFromPathDoc},
};

// No methods and no slots here: the module body adds everything. Per-module state size 0 makes a
// re-import call the init function again instead of copying the first module's dict.
PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "morvane_reduce", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

// The interpreter that imported the module first (-1 before that), and the module it got; both
// are set once and kept for the life of the process.
std::atomic<int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;

// Appends `name` to the module's __all__ (made on the first addition), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
    PyErr_Clear();
    all = owned(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  PyRef name_object = owned(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), name_object.get()) < 0) {
    throw InternalError("could not append __name__ to __all__: " + take_error_text());
  }
  check_status(PyObject_SetAttrString(module, name, value));
}

void fill_module(PyObject* module) {
  add_to_module(module, "__version__", owned(PyUnicode_FromString(MORVANE_VERSION)).get());
  add_to_module(module, "Mesh", mesh_type());
  PyRef module_name = owned(PyModule_GetNameObject(module));
  for (PyMethodDef& function : kFunctions) {
    PyRef object = owned(PyCMethod_New(&function, module, module_name.get(), nullptr));
    add_to_module(module, function.ml_name, object.get());
  }
}

PyObject* init_module() {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    throw PythonErrorSet{};
  }
  int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "PyO3 modules do not yet support subinterpreters, see https://github.com/PyO3/pyo3/issues/576");
    throw PythonErrorSet{};
  }

  if (module_cell) return PyRef::borrow(module_cell).release();
  PyRef module = owned(PyModule_Create2(&kModuleDef, 3));  // API version 3: the stable ABI
  fill_module(module.get());  // a failure releases the half-built module; a later import tries again
  module_cell = PyRef::borrow(module.get()).release();
  return module.release();
}

}  // namespace

}  // namespace morvane::py

PyMODINIT_FUNC PyInit_morvane_reduce() {
  return morvane::py::guarded([] { return morvane::py::init_module(); });
}
