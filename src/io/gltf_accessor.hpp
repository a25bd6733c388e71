// Range-checked reading of glTF accessors from the buffers the import loaded. tinygltf checks
// none of these ranges, so every offset, count, stride, buffer view and buffer is checked here in
// 64-bit arithmetic before a byte is read; sparse substitutions are validated and applied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "gltf_tinygltf.hpp"

namespace morvane::io {

// What an accessor is read as; each use accepts its own element type and component types.
enum class AccessorUse {
  Positions,  // VEC3 of float
  Normals,    // VEC3 of float
  TexCoords,  // VEC2 of float, or of normalised unsigned byte or short
  Indices,    // SCALAR of unsigned byte, short or int
};

// Where the elements of an accessor lie once every range has been checked.
struct AccessorLayout {
  std::size_t count = 0;                 // elements the accessor declares
  int component_type = 0;                // a TINYGLTF_COMPONENT_TYPE_ value
  std::size_t components = 0;            // values per element: 1, 2 or 3
  const unsigned char* data = nullptr;   // first element; null for an accessor without bufferView (zeros)
  std::size_t stride = 0;                // bytes from one element to the next
  std::size_t sparse_count = 0;          // substituted elements
  const unsigned char* sparse_indices = nullptr;
  int sparse_index_type = 0;
  const unsigned char* sparse_values = nullptr;  // tightly packed elements of `component_type`
};

// Checks accessor `index` for `use` and tells where its elements lie. An accessor without
// bufferView reads as zeros with its sparse values applied; positions without bufferView must have
// sparse values. One that cannot be read fails the import (fail_gltf), its text naming the accessor
// after `owner` ("mesh 0, primitive 1: POSITION accessor 4 ...").
AccessorLayout locate_accessor(const tinygltf::Model& model, int index, AccessorUse use, std::string_view owner);

// The first min(count, limit) elements of a located accessor, sparse values applied; integer
// components of texture coordinates are normalised to [0, 1].
std::vector<std::array<float, 3>> read_vec3(const AccessorLayout& layout, std::size_t limit);
std::vector<std::array<float, 2>> read_vec2(const AccessorLayout& layout, std::size_t limit);
std::vector<uint32_t> read_scalars(const AccessorLayout& layout);

}  // namespace morvane::io
