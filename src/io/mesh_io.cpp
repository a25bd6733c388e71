#include "mesh_io.hpp"

#include <utility>

#include "gltf_io.hpp"
#include "io_error.hpp"
#include "obj.hpp"
#include "usd.hpp"
#include "usdc.hpp"
#include "utf8.hpp"

namespace morvane::io {

namespace {

// The extension as error text: empty when there is none or it is not valid UTF-8.
std::string_view extension_text(std::string_view path) {
  const std::optional<std::string_view> extension = path_extension(path);
  if (!extension || !is_valid_utf8(*extension)) return {};
  return *extension;
}

}  // namespace

std::optional<std::string_view> path_extension(std::string_view path) {
  // The last component that is neither empty nor ".".
  std::string_view name;
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view component = path.substr(begin, end - begin);
    if (!component.empty() && component != ".") {
      name = component;
      break;
    }
    if (slash == std::string_view::npos) break;
    end = slash;
  }
  if (name.empty() || name == "..") return std::nullopt;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

std::optional<MeshFormat> format_from_extension(std::string_view path) {
  const std::optional<std::string_view> extension = path_extension(path);
  if (!extension) return std::nullopt;
  if (*extension == "obj") return MeshFormat::Obj;
  if (*extension == "glb" || *extension == "gltf") return MeshFormat::Gltf;
  if (*extension == "usda") return MeshFormat::Usda;
  if (*extension == "usd" || *extension == "usdc") return MeshFormat::Usdc;
  return std::nullopt;
}

MeshData load_mesh(const std::string& path) {
  const std::optional<MeshFormat> format = format_from_extension(path);
  if (!format) throw IoError::unsupported_format(extension_text(path));
  switch (*format) {
    case MeshFormat::Obj:
      return read_obj(path);
    case MeshFormat::Gltf:
      return read_gltf(path);
    case MeshFormat::Usda:
    case MeshFormat::Usdc:
      return read_usd(path);  // text or crate, told apart by the file's first bytes
  }
  throw std::logic_error("unknown mesh format");
}

std::optional<MeshError> find_save_error(MeshFormat format, std::span<const Vec3> positions,
                                         std::span<const Tri> triangles) {
  if (std::optional<MeshError> error = find_invalid_index(positions.size(), triangles)) return error;
  if (format == MeshFormat::Gltf && (positions.empty() || triangles.empty())) {
    return MeshError{MeshError::Kind::EmptyMesh};
  }
  return std::nullopt;
}

void save_mesh(std::span<const Vec3> positions, std::span<const Tri> triangles, const std::string& path) {
  save_mesh_with_attributes(positions, triangles, std::nullopt, std::nullopt, path);
}

void save_mesh_with_attributes(std::span<const Vec3> positions, std::span<const Tri> triangles,
                               std::optional<std::vector<Uv>> uvs, std::optional<std::vector<Vec3>> normals,
                               const std::string& path) {
  const std::optional<MeshFormat> format = format_from_extension(path);
  if (!format) throw IoError::unsupported_format(extension_text(path));
  if (const std::optional<MeshError> error = find_save_error(*format, positions, triangles)) {
    throw IoError::mesh_construction(*error);
  }
  // The record of the writers that carry attributes: positions and triangles copied once, the
  // attribute lists moved in.
  const auto record = [&] {
    return MeshData{std::vector<Vec3>(positions.begin(), positions.end()),
                    std::vector<Tri>(triangles.begin(), triangles.end()), std::move(uvs), std::move(normals)};
  };
  switch (*format) {
    case MeshFormat::Obj:
      write_obj(path, record());
      return;
    case MeshFormat::Gltf:
      // Neither container holds normals or texture coordinates.
      if (path_extension(path) == "gltf") {
        write_gltf(path, positions, triangles);
      } else {
        write_glb(path, positions, triangles);
      }
      return;
    case MeshFormat::Usda:
      write_usda(path, record());
      return;
    case MeshFormat::Usdc:
      write_usdc(path, record());  // ".usd" and ".usdc" both get the binary crate format
      return;
  }
}

}  // namespace morvane::io
