// load, save and proxy_from_path: the module's road to the file layer. load and save keep the
// interpreter lock; proxy_from_path releases it for all of its file and mesh work. All three run
// their work where Ctrl-C stops it, and none replaces a file once it has been stopped.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "core/attribute_transfer.hpp"
#include "core/mesh_error.hpp"
#include "core/proxy.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "io/io_error.hpp"
#include "io/mesh_io.hpp"
#include "mesh_type.hpp"
#include "proxy_options.hpp"
#include "unlocked.hpp"

namespace morvane::py {

namespace {

constexpr const char* kLoadParameters[] = {"path"};
constexpr Signature kLoad{"load()", kLoadParameters, {}};

constexpr const char* kSaveParameters[] = {"mesh", "path"};
constexpr Signature kSave{"save()", kSaveParameters, {}};

constexpr const char* kProxyFromPathParameters[] = {"input_path", "output_path"};
constexpr auto kProxyFromPathOptions = [] {
  std::array<const char*, std::size(kProxyOptionNames) + 2> names{};
  std::copy(std::begin(kProxyOptionNames), std::end(kProxyOptionNames), names.begin());
  names[names.size() - 2] = "transfer_normals";
  names[names.size() - 1] = "transfer_uvs";
  return names;
}();
constexpr Signature kProxyFromPath{"proxy_from_path()", kProxyFromPathParameters, kProxyFromPathOptions};

struct ProxyRunCounts {
  uint64_t input_vertices;
  uint64_t input_faces;
  uint64_t output_vertices;
  uint64_t output_faces;
};

template <class T>
std::optional<std::span<const T>> optional_span(const std::optional<std::vector<T>>& list) {
  if (!list) return std::nullopt;
  return std::span<const T>(*list);
}

// The work of proxy_from_path, run without the interpreter lock: load, settings, pipeline,
// attribute transfer, save. Every list it makes is released when it returns or throws.
ProxyRunCounts convert_file(const std::string& input_path, const std::string& output_path,
                            const ProxyOptions& options, bool transfer_normals, bool transfer_uvs) {
  io::MeshData input;
  try {
    input = io::load_mesh(input_path);
  } catch (const io::IoError& e) {
    throw ModuleError(fmt::format("load {}: {}", input_path, e.what()));
  }

  ProxyParams params;
  try {
    params = resolve_proxy_params(input.positions, input.triangles, options);
  } catch (const UnknownPresetError& e) {
    throw ModuleError(fmt::format("settings: ValueError: {}", e.what()));
  }
  require_valid_faces(input.positions, input.triangles);

  const Mesh proxy = generate_proxy_mesh(input.positions, input.triangles, params);
  // An input that leaves no surface at these settings gives no file at all.
  if (proxy.positions.empty() || proxy.indices.empty()) {
    throw ModuleError(mesh_error_display(MeshError{MeshError::Kind::EmptyMesh}));
  }
  TransferredAttributes attributes =
      transfer_attributes(input.positions, input.triangles, optional_span(input.normals), optional_span(input.uvs),
                          proxy.positions, proxy.indices, transfer_normals, transfer_uvs);
  try {
    io::save_mesh_with_attributes(proxy.positions, proxy.indices, std::move(attributes.uvs),
                                  std::move(attributes.normals), output_path);
  } catch (const io::IoError& e) {
    throw ModuleError(fmt::format("save {}: {}", output_path, e.what()));
  }
  return {input.positions.size(), input.triangles.size(), proxy.positions.size(), proxy.indices.size()};
}

// Whole seconds plus the remaining nanoseconds / 1e9.
double seconds_between(std::chrono::steady_clock::time_point start, std::chrono::steady_clock::time_point end) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
  return static_cast<double>(nanoseconds / 1000000000) + static_cast<double>(nanoseconds % 1000000000) / 1e9;
}

void set_item(PyObject* dict, const char* key, PyRef value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

PyRef new_str(const std::string& text) {
  return owned(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

}  // namespace

PyObject* load(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kLoad, args, kwargs);
    const std::string path = arguments.required("path", to_str);
    io::MeshData data = run_keeping_lock([&] { return io::load_mesh(path); });  // normals and uvs are not kept
    return new_mesh_object(Mesh{std::move(data.positions), std::move(data.triangles)}).release();
  });
}

PyObject* save(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kSave, args, kwargs);
    const HeldMesh mesh = arguments.required("mesh", hold_mesh);
    const std::string path = arguments.required("path", to_str);
    run_keeping_lock([&] {
      // Checked as generate_proxy checks its input, with the same texts, before any file is touched.
      if (const std::optional<io::MeshFormat> format = io::format_from_extension(path)) {
        if (const std::optional<MeshError> error = io::find_save_error(*format, mesh->positions, mesh->indices)) {
          throw ModuleError(mesh_error_display(*error));
        }
      }
      io::save_mesh(mesh->positions, mesh->indices, path);
    });
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* proxy_from_path(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    Arguments arguments(kProxyFromPath, args, kwargs);
    const std::string input_path = arguments.required("input_path", to_str);
    const std::string output_path = arguments.required("output_path", to_str);
    const ProxyOptions options = read_proxy_options(arguments);
    const bool transfer_normals = arguments.keyword("transfer_normals", true, to_bool);
    const bool transfer_uvs = arguments.keyword("transfer_uvs", false, to_bool);

    const auto start = std::chrono::steady_clock::now();
    const ProxyRunCounts counts = run_unlocked(
        [&] { return convert_file(input_path, output_path, options, transfer_normals, transfer_uvs); });
    const double wall_seconds = seconds_between(start, std::chrono::steady_clock::now());

    PyRef result = owned(PyDict_New());
    set_item(result.get(), "input_path", new_str(input_path));
    set_item(result.get(), "output_path", new_str(output_path));
    set_item(result.get(), "input_vertices", owned(PyLong_FromUnsignedLongLong(counts.input_vertices)));
    set_item(result.get(), "input_faces", owned(PyLong_FromUnsignedLongLong(counts.input_faces)));
    set_item(result.get(), "output_vertices", owned(PyLong_FromUnsignedLongLong(counts.output_vertices)));
    set_item(result.get(), "output_faces", owned(PyLong_FromUnsignedLongLong(counts.output_faces)));
    set_item(result.get(), "wall_seconds", owned(PyFloat_FromDouble(wall_seconds)));
    return result.release();
  });
}

}  // namespace morvane::py
