// generate_proxy and generate_lod_chain: proxies of an in-memory Mesh. Arguments are converted
// first; the pipeline then runs with the interpreter lock released, so other Python threads (and
// other pipelines) go on meanwhile, reading the caller's Mesh through a reference held meanwhile.
#include <algorithm>
#include <vector>

#include "arguments.hpp"
#include "core/proxy.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "mesh_type.hpp"
#include "proxy_options.hpp"
#include "unlocked.hpp"

namespace morvane::py {

namespace {

constexpr const char* kMeshParameter[] = {"mesh"};
constexpr Signature kGenerateProxy{"generate_proxy()", kMeshParameter, kProxyOptionNames};

constexpr const char* kLodOptionNames[] = {"levels", "base_res", "smooth", "remesh", "offset", "close", "project"};
constexpr Signature kGenerateLodChain{"generate_lod_chain()", kMeshParameter, kLodOptionNames};

// Grid resolution of chain level k >= 1: base_res halved k - 1 times, rounding down, never below 8.
// From 64 halvings on every value is 0, which a shift of that width could not compute.
uint64_t lod_voxel_res(uint64_t base_res, uint64_t level) {
  const uint64_t halvings = level - 1;
  return std::max<uint64_t>(halvings < 64 ? base_res >> halvings : 0, 8);
}

}  // namespace

PyObject* generate_proxy(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kGenerateProxy, args, kwargs);
    const HeldMesh mesh = arguments.required("mesh", hold_mesh);
    const ProxyOptions options = read_proxy_options(arguments);

    // The settings, the input's checks and the pipeline read the caller's mesh where it is, all
    // where Ctrl-C reaches them.
    Mesh proxy = run_unlocked([&] {
      const ProxyParams params = resolve_proxy_params(mesh->positions, mesh->indices, options);
      require_valid_faces(mesh->positions, mesh->indices);
      return generate_proxy_mesh(mesh->positions, mesh->indices, params);
    });
    return new_mesh_object(std::move(proxy)).release();
  });
}

PyObject* generate_lod_chain(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kGenerateLodChain, args, kwargs);
    const HeldMesh mesh = arguments.required("mesh", hold_mesh);
    // A chain remeshes by default; its other defaults are the pipeline's own.
    const ProxyParams defaults;
    const uint64_t levels = arguments.keyword("levels", uint64_t{4}, to_unsigned);
    const uint64_t base_res = arguments.keyword("base_res", defaults.voxel_res, to_unsigned);
    const uint64_t smooth = arguments.keyword("smooth", defaults.smooth, to_unsigned);
    const uint64_t remesh = arguments.keyword("remesh", uint64_t{3}, to_unsigned);
    const double offset = arguments.keyword("offset", defaults.offset, to_float);
    const uint64_t close = arguments.keyword("close", defaults.close, to_unsigned);
    const double project = arguments.keyword("project", defaults.project, to_float);

    // Grown level by level: `levels` may be any 64-bit count, far more than could be reserved.
    std::vector<Mesh> chain;
    if (levels > 0) {
      run_unlocked([&] {
        chain.push_back(*mesh);
        if (levels > 1) require_valid_faces(mesh->positions, mesh->indices);
      });
    }
    // Every level is built from the input, never from the previous level.
    for (uint64_t level = 1; level < levels; ++level) {
      ProxyParams params;  // the other settings keep generate_proxy's defaults
      params.voxel_res = lod_voxel_res(base_res, level);
      params.offset = offset;
      params.close = close;
      params.smooth = smooth;
      params.remesh = remesh;
      params.project = project;
      chain.push_back(run_unlocked([&] { return generate_proxy_mesh(mesh->positions, mesh->indices, params); }));
      check_status(PyErr_CheckSignals());  // Ctrl-C ends a long chain between levels
    }

    PyRef list = owned(PyList_New(static_cast<Py_ssize_t>(chain.size())));
    for (std::size_t i = 0; i < chain.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_mesh_object(std::move(chain[i])).release());
    }
    return list.release();
  });
}

}  // namespace morvane::py
