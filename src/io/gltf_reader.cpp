// The glTF reader: every triangle primitive of every mesh, in document order, merged into one
// mesh. Node transforms are not applied and a mesh used by several nodes is taken once.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>

#include "common/memory_guard.hpp"
#include "common/numeric.hpp"
#include "core/run_context.hpp"
#include "file_path.hpp"
#include "file_reader.hpp"
#include "gltf_accessor.hpp"
#include "gltf_document.hpp"
#include "gltf_error.hpp"
#include "gltf_io.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

// Room for `extra` more elements, grown geometrically: a file of many small primitives must not
// reallocate the merged lists once per primitive.
template <class T>
void reserve_more(std::vector<T>& list, std::size_t extra) {
  if (list.capacity() - list.size() < extra) list.reserve(std::max(list.size() + extra, 2 * list.capacity()));
}

// A texture coordinate or normal accessor that is missing or cannot be read counts as absent.
std::optional<AccessorLayout> optional_attribute(const tinygltf::Model& model, const tinygltf::Primitive& primitive,
                                                 const char* name, AccessorUse use) {
  const auto it = primitive.attributes.find(name);
  if (it == primitive.attributes.end()) return std::nullopt;
  try {
    return locate_accessor(model, it->second, use, name);
  } catch (const IoError&) {
    return std::nullopt;
  }
}

class MeshMerger {
 public:
  explicit MeshMerger(const MeshLimits& limits) : limits_(limits) {}

  void add(const tinygltf::Model& model, const tinygltf::Primitive& primitive, const std::string& where);
  MeshData finish();

 private:
  const MeshLimits& limits_;
  MeshData mesh_;
};

void MeshMerger::add(const tinygltf::Model& model, const tinygltf::Primitive& primitive, const std::string& where) {
  if (primitive.mode != TINYGLTF_MODE_TRIANGLES) return;
  const auto position_attribute = primitive.attributes.find("POSITION");
  if (position_attribute == primitive.attributes.end()) return;

  // Locate every accessor and apply the limits before anything is decoded.
  const AccessorLayout positions =
      locate_accessor(model, position_attribute->second, AccessorUse::Positions, fmt::format("{}: POSITION", where));
  const std::size_t offset = mesh_.positions.size();
  if (saturating_add(offset, positions.count) > limits_.vertices) {
    throw IoError::mesh_too_large("vertex", limits_.vertices + 1, limits_.vertices);
  }
  if (!positions.data) {
    // Zeros with sparse values: no buffer bounds the count, so the memory it takes is checked.
    require_memory(saturating_mul(positions.count, sizeof(std::array<float, 3>) + sizeof(Vec3)),
                   fmt::format("the positions of the glTF {}", where));
  }
  std::optional<AccessorLayout> indices;
  if (primitive.indices >= 0) {
    indices = locate_accessor(model, primitive.indices, AccessorUse::Indices, fmt::format("{}: indices", where));
  }
  const std::optional<AccessorLayout> uv_layout =
      optional_attribute(model, primitive, "TEXCOORD_0", AccessorUse::TexCoords);
  const std::optional<AccessorLayout> normal_layout =
      optional_attribute(model, primitive, "NORMAL", AccessorUse::Normals);
  const std::size_t index_count = indices ? indices->count : positions.count;
  const uint64_t triangle_total = saturating_add(mesh_.triangles.size(), index_count / 3);
  if (triangle_total > limits_.triangles) throw IoError::mesh_too_large("triangle", triangle_total, limits_.triangles);

  const std::vector<std::array<float, 3>> points = read_vec3(positions, positions.count);
  reserve_more(mesh_.positions, points.size());
  for_each_polled_range(points.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) mesh_.positions.push_back({points[v][0], points[v][1], points[v][2]});
  });

  std::vector<uint32_t> index_list;
  if (indices) {
    index_list = read_scalars(*indices);
    for_each_polled_range(index_list.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t k = begin; k < end; ++k) {
        const uint32_t i = index_list[k];
        if (i >= points.size()) fail_gltf("{}: index {} is out of range for {} vertices", where, i, points.size());
      }
    });
  }
  // Entries beyond the vertex count are never looked up, since every index is below it.
  const std::vector<std::array<float, 2>> uvs = uv_layout ? read_vec2(*uv_layout, points.size())
                                                          : std::vector<std::array<float, 2>>{};
  const std::vector<std::array<float, 3>> normals = normal_layout ? read_vec3(*normal_layout, points.size())
                                                                  : std::vector<std::array<float, 3>>{};
  // The first primitive with an attribute gives zeros to the corners merged before it.
  if (uv_layout && !mesh_.uvs) mesh_.uvs.emplace(3 * mesh_.triangles.size(), Uv{0.0f, 0.0f});
  if (normal_layout && !mesh_.normals) mesh_.normals.emplace(3 * mesh_.triangles.size(), Vec3{0.0, 0.0, 0.0});

  const std::size_t triangle_count = index_count / 3;
  reserve_more(mesh_.triangles, triangle_count);
  if (mesh_.uvs) reserve_more(*mesh_.uvs, 3 * triangle_count);
  if (mesh_.normals) reserve_more(*mesh_.normals, 3 * triangle_count);
  const auto base = static_cast<uint32_t>(offset);
  for_each_polled_range(triangle_count, [&](std::size_t first, std::size_t last) {
    for (std::size_t t = first; t < last; ++t) {
      uint32_t corner[3];
      for (std::size_t k = 0; k < 3; ++k) {
        corner[k] = indices ? index_list[3 * t + k] : static_cast<uint32_t>(3 * t + k);
      }
      mesh_.triangles.push_back({corner[0] + base, corner[1] + base, corner[2] + base});
      // Corners of a primitive without the attribute, or past its accessor's count, hold zeros.
      for (const uint32_t i : corner) {
        if (mesh_.uvs) mesh_.uvs->push_back(i < uvs.size() ? Uv{uvs[i][0], uvs[i][1]} : Uv{0.0f, 0.0f});
        if (mesh_.normals) {
          mesh_.normals->push_back(i < normals.size() ? Vec3{normals[i][0], normals[i][1], normals[i][2]}
                                                      : Vec3{0.0, 0.0, 0.0});
        }
      }
    }
  });
}

MeshData MeshMerger::finish() {
  if (mesh_.positions.empty()) throw IoError::obj_parse("no triangle meshes found in glTF");
  check_limits(mesh_.positions.size(), mesh_.triangles.size(), limits_);
  return std::move(mesh_);
}

MeshData merge_meshes(const tinygltf::Model& model, const MeshLimits& limits) {
  MeshMerger merger(limits);
  for (std::size_t m = 0; m < model.meshes.size(); ++m) {
    const std::vector<tinygltf::Primitive>& primitives = model.meshes[m].primitives;
    for (std::size_t p = 0; p < primitives.size(); ++p) {
      const std::string where = fmt::format("mesh {}, primitive {}", m, p);
      try {
        merger.add(model, primitives[p], where);
      } catch (const std::bad_alloc& e) {
        throw out_of_memory_for(e, fmt::format("the glTF {}", where));
      }
    }
  }
  return merger.finish();
}

// The document imported from the file's bytes; a memory failure names the document.
tinygltf::Model import_document(std::string_view bytes, const std::string& base_dir) {
  try {
    return import_gltf_document(bytes, base_dir);
  } catch (const std::bad_alloc& e) {
    throw out_of_memory_for(e, "the glTF document");
  }
}

}  // namespace

MeshData read_gltf_bytes(std::string_view bytes, const std::string& base_dir, const MeshLimits& limits) {
  return merge_meshes(import_document(bytes, base_dir), limits);
}

MeshData read_gltf(const std::string& path) {
  std::vector<char> bytes;
  FileReadStatus status;
  try {
    status = try_read_file(path, bytes);
  } catch (const std::bad_alloc& e) {
    throw out_of_memory_for(e, "the glTF file");
  }
  if (status.stage != FileReadStatus::Stage::Ok) fail_gltf("{}", read_failure_text(status));
  const tinygltf::Model model = import_document(std::string_view(bytes.data(), bytes.size()), directory_of(path));
  std::vector<char>().swap(bytes);  // the buffers hold their own copies now
  return merge_meshes(model, MeshLimits{});
}

}  // namespace morvane::io
