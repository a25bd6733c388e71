#include "gltf_accessor.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "common/numeric.hpp"
#include "core/run_context.hpp"
#include "gltf_error.hpp"
#include "little_endian.hpp"

namespace morvane::io {

// glTF stores little-endian values; elements are copied byte for byte into host values.
static_assert(std::endian::native == std::endian::little, "the glTF reader assumes a little-endian host");

namespace {

struct UseRule {
  int type;
  const char* expectation;  // for messages
};

UseRule rule_for(AccessorUse use) {
  switch (use) {
    case AccessorUse::Positions:
      return {TINYGLTF_TYPE_VEC3, "POSITION needs VEC3 of float"};
    case AccessorUse::Normals:
      return {TINYGLTF_TYPE_VEC3, "NORMAL needs VEC3 of float"};
    case AccessorUse::TexCoords:
      return {TINYGLTF_TYPE_VEC2, "TEXCOORD_0 needs VEC2 of float, unsigned byte or unsigned short"};
    case AccessorUse::Indices:
      break;
  }
  return {TINYGLTF_TYPE_SCALAR, "indices need SCALAR of unsigned byte, unsigned short or unsigned int"};
}

bool component_allowed(AccessorUse use, int component_type) {
  switch (use) {
    case AccessorUse::Positions:
    case AccessorUse::Normals:
      return component_type == TINYGLTF_COMPONENT_TYPE_FLOAT;
    case AccessorUse::TexCoords:
      return component_type == TINYGLTF_COMPONENT_TYPE_FLOAT ||
             component_type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
             component_type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT;
    case AccessorUse::Indices:
      break;
  }
  return component_type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
         component_type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
         component_type == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT;
}

std::string type_name(int type) {
  switch (type) {
    case TINYGLTF_TYPE_SCALAR: return "SCALAR";
    case TINYGLTF_TYPE_VEC2: return "VEC2";
    case TINYGLTF_TYPE_VEC3: return "VEC3";
    case TINYGLTF_TYPE_VEC4: return "VEC4";
    case TINYGLTF_TYPE_MAT2: return "MAT2";
    case TINYGLTF_TYPE_MAT3: return "MAT3";
    case TINYGLTF_TYPE_MAT4: return "MAT4";
    default: return fmt::format("type {}", type);
  }
}

std::size_t component_size(int component_type) {
  switch (component_type) {
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return 1;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return 2;
    default: return 4;  // unsigned int and float, the only others any use accepts
  }
}

std::size_t components_of(int type) { return type == TINYGLTF_TYPE_VEC3 ? 3 : type == TINYGLTF_TYPE_VEC2 ? 2 : 1; }

// The bytes of bufferView `index`, checked against its buffer; `owner` names who reads them.
std::span<const unsigned char> view_bytes(const tinygltf::Model& model, int index, std::string_view owner) {
  if (index < 0 || static_cast<std::size_t>(index) >= model.bufferViews.size()) {
    fail_gltf("{}: bufferView {} does not exist", owner, index);
  }
  const tinygltf::BufferView& view = model.bufferViews[static_cast<std::size_t>(index)];
  if (view.buffer < 0 || static_cast<std::size_t>(view.buffer) >= model.buffers.size()) {
    fail_gltf("{}: bufferView {} refers to missing buffer {}", owner, index, view.buffer);
  }
  const std::vector<unsigned char>& data = model.buffers[static_cast<std::size_t>(view.buffer)].data;
  if (saturating_add(view.byteOffset, view.byteLength) > data.size()) {
    fail_gltf("{}: bufferView {} (offset {}, length {}) lies outside buffer {} of {} bytes", owner, index,
              view.byteOffset, view.byteLength, view.buffer, data.size());
  }
  return std::span(data).subspan(view.byteOffset, view.byteLength);
}

uint32_t load_index(const unsigned char* p, int component_type) {
  switch (component_type) {
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE: return p[0];
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: return uint32_t{p[0]} | uint32_t{p[1]} << 8;
    default: return load_u32(p);
  }
}

// Checks the sparse substitutions of `accessor`, named `name`, and records them in `layout`.
void locate_sparse(const tinygltf::Model& model, const tinygltf::Accessor& accessor, std::size_t element_size,
                   std::string_view name, AccessorLayout& layout) {
  const auto& sparse = accessor.sparse;
  if (sparse.count < 1 || static_cast<uint64_t>(sparse.count) > accessor.count) {
    fail_gltf("{}: sparse count {} for {} elements", name, sparse.count, accessor.count);
  }
  const auto count = static_cast<uint64_t>(sparse.count);
  const int index_type = sparse.indices.componentType;
  if (!component_allowed(AccessorUse::Indices, index_type)) {
    fail_gltf("{}: sparse indices of component type {}", name, index_type);
  }

  const std::span<const unsigned char> indices =
      view_bytes(model, sparse.indices.bufferView, fmt::format("{}: sparse indices", name));
  if (sparse.indices.byteOffset < 0 ||
      saturating_add(static_cast<uint64_t>(sparse.indices.byteOffset),
                     saturating_mul(count, component_size(index_type))) > indices.size()) {
    fail_gltf("{}: sparse indices run past their bufferView", name);
  }
  const std::span<const unsigned char> values =
      view_bytes(model, sparse.values.bufferView, fmt::format("{}: sparse values", name));
  if (sparse.values.byteOffset < 0 ||
      saturating_add(static_cast<uint64_t>(sparse.values.byteOffset), saturating_mul(count, element_size)) >
          values.size()) {
    fail_gltf("{}: sparse values run past their bufferView", name);
  }

  const unsigned char* first_index = indices.data() + sparse.indices.byteOffset;
  const std::size_t index_size = component_size(index_type);
  StopPoll poll;
  for (uint64_t k = 0; k < count; ++k) {
    poll.tick();
    const uint32_t target = load_index(first_index + k * index_size, index_type);
    if (target >= accessor.count) fail_gltf("{}: sparse index {} beyond {} elements", name, target, accessor.count);
  }
  layout.sparse_count = static_cast<std::size_t>(count);
  layout.sparse_indices = first_index;
  layout.sparse_index_type = index_type;
  layout.sparse_values = values.data() + sparse.values.byteOffset;
}

template <class T>
T& component(T& element, std::size_t) {
  return element;
}
template <class T, std::size_t N>
T& component(std::array<T, N>& element, std::size_t c) {
  return element[c];
}

// Stored integers become floats normalised to [0, 1], as glTF defines for texture coordinates.
template <class Out, class Stored>
Out convert(Stored value) {
  if constexpr (std::is_floating_point_v<Out> && !std::is_floating_point_v<Stored>) {
    return static_cast<Out>(value) / static_cast<Out>(std::numeric_limits<Stored>::max());
  } else {
    return static_cast<Out>(value);
  }
}

template <class Stored, class Element>
void decode_as(const AccessorLayout& layout, std::vector<Element>& out) {
  using Value = std::remove_reference_t<decltype(component(std::declval<Element&>(), 0))>;
  auto fill = [&](Element& element, const unsigned char* p) {
    for (std::size_t c = 0; c < layout.components; ++c) {
      Stored stored;
      std::memcpy(&stored, p + c * sizeof(Stored), sizeof(Stored));
      component(element, c) = convert<Value>(stored);
    }
  };
  if (layout.data) {
    for_each_polled_range(out.size(), [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) fill(out[i], layout.data + i * layout.stride);
    });
  }
  const std::size_t element_size = layout.components * sizeof(Stored);
  for (std::size_t k = 0; k < layout.sparse_count; ++k) {
    const uint32_t target = load_index(layout.sparse_indices + k * component_size(layout.sparse_index_type),
                                       layout.sparse_index_type);
    if (target < out.size()) fill(out[target], layout.sparse_values + k * element_size);
  }
}

template <class Element>
std::vector<Element> read_elements(const AccessorLayout& layout, std::size_t limit) {
  std::vector<Element> out(std::min(layout.count, limit));  // zeros where no bufferView backs the accessor
  switch (layout.component_type) {
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
      decode_as<uint8_t>(layout, out);
      break;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
      decode_as<uint16_t>(layout, out);
      break;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
      decode_as<uint32_t>(layout, out);
      break;
    default:
      decode_as<float>(layout, out);
      break;
  }
  return out;
}

}  // namespace

AccessorLayout locate_accessor(const tinygltf::Model& model, int index, AccessorUse use, std::string_view owner) {
  const std::string name = fmt::format("{} accessor {}", owner, index);
  if (index < 0 || static_cast<std::size_t>(index) >= model.accessors.size()) fail_gltf("{} does not exist", name);
  const tinygltf::Accessor& accessor = model.accessors[static_cast<std::size_t>(index)];
  const UseRule rule = rule_for(use);
  if (accessor.type != rule.type || !component_allowed(use, accessor.componentType)) {
    fail_gltf("{} holds {} of component type {}; {}", name, type_name(accessor.type), accessor.componentType,
              rule.expectation);
  }
  AccessorLayout layout;
  layout.count = accessor.count;
  layout.component_type = accessor.componentType;
  layout.components = components_of(accessor.type);
  const std::size_t element_size = layout.components * component_size(accessor.componentType);

  if (accessor.bufferView == -1) {
    // Zeros, which sparse values may replace. Positions without either are refused: such a mesh
    // would only hold the origin.
    if (use == AccessorUse::Positions && !accessor.sparse.isSparse) fail_gltf("{} has no bufferView", name);
  } else {
    const std::span<const unsigned char> view = view_bytes(model, accessor.bufferView, name);
    const std::size_t declared_stride = model.bufferViews[static_cast<std::size_t>(accessor.bufferView)].byteStride;
    layout.stride = declared_stride == 0 ? element_size : declared_stride;
    if (layout.stride < element_size) {
      fail_gltf("{}: byteStride {} is shorter than its {}-byte elements", name, layout.stride, element_size);
    }
    const uint64_t needed =
        accessor.count == 0
            ? accessor.byteOffset
            : saturating_add(accessor.byteOffset,
                             saturating_add(saturating_mul(accessor.count - 1, layout.stride), element_size));
    if (needed > view.size()) {
      fail_gltf("{} needs {} bytes of bufferView {}, which holds {}", name, needed, accessor.bufferView, view.size());
    }
    layout.data = view.data() + accessor.byteOffset;
  }
  if (accessor.sparse.isSparse) locate_sparse(model, accessor, element_size, name, layout);
  return layout;
}

std::vector<std::array<float, 3>> read_vec3(const AccessorLayout& layout, std::size_t limit) {
  return read_elements<std::array<float, 3>>(layout, limit);
}

std::vector<std::array<float, 2>> read_vec2(const AccessorLayout& layout, std::size_t limit) {
  return read_elements<std::array<float, 2>>(layout, limit);
}

std::vector<uint32_t> read_scalars(const AccessorLayout& layout) {
  return read_elements<uint32_t>(layout, layout.count);
}

}  // namespace morvane::io
