// Front of the file layer: the format chosen from a path's extension, and load and save entries.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Writes positions and triangles alone. Throws IoError.
void save_mesh(std::span<const Vec3> positions, std::span<const Tri> triangles, const std::string& path);

// Writes with the writer of the extension's format; "gltf" receives a binary GLB container. An
// unsupported extension fails before any file is created. Throws IoError.
void save_mesh_with_attributes(std::span<const Vec3> positions, std::span<const Tri> triangles,
                               std::optional<std::vector<Uv>> uvs, std::optional<std::vector<Vec3>> normals,
                               const std::string& path);

}  // namespace morvane::io
