// Front of the file layer: the format chosen from a path's extension, and load and save entries.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/mesh_error.hpp"
#include "mesh_data.hpp"

namespace morvane::io {

enum class MeshFormat { Obj, Gltf, Usda, Usdc };

// The extension of a path's last component as Python's pathlib and Rust's Path see it: the text
// after the last "." of the file name; none for a name without "." or whose only "." leads it;
// empty for a name that ends in ".". Trailing "/" and "." components are skipped.
std::optional<std::string_view> path_extension(std::string_view path);

// "obj" -> Obj, "glb"/"gltf" -> Gltf, "usda" -> Usda, "usd"/"usdc" -> Usdc (case-sensitive);
// anything else, no extension, or an extension that is not valid UTF-8: no format.
std::optional<MeshFormat> format_from_extension(std::string_view path);

// Reads the file with the reader of its extension's format. Throws IoError.
MeshData load_mesh(const std::string& path);

// Why the writer of `format` cannot store this mesh as a file that load_mesh reads back: a face
// naming a missing vertex (the InvalidIndex case), or, for glTF, whose accessors are never empty,
// a mesh without vertices or without triangles (EmptyMesh).
std::optional<MeshError> find_save_error(MeshFormat format, std::span<const Vec3> positions,
                                         std::span<const Tri> triangles);

// Writes positions and triangles alone. Throws IoError.
void save_mesh(std::span<const Vec3> positions, std::span<const Tri> triangles, const std::string& path);

// Writes with the writer of the extension's format: "glb" a GLB container, "gltf" a JSON glTF
// file with its buffer embedded. An unsupported extension, and a mesh that find_save_error
// refuses (as MeshConstruction), fail before any file is touched. Throws IoError.
void save_mesh_with_attributes(std::span<const Vec3> positions, std::span<const Tri> triangles,
                               std::optional<std::vector<Uv>> uvs, std::optional<std::vector<Vec3>> normals,
                               const std::string& path);

}  // namespace morvane::io
