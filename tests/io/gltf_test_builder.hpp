// Small glTF documents for the reader tests: one binary buffer to which views and accessors are
// appended, written out as a GLB container or as JSON with the buffer inline or in a file.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace morvane::test {

using Json = nlohmann::json;

template <class T>
std::string raw_bytes(const std::vector<T>& values) {
  std::string bytes(values.size() * sizeof(T), '\0');
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

inline std::string base64(std::string_view bytes) {
  static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = uint32_t{static_cast<unsigned char>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) group |= uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    const std::size_t chunk = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 4; ++k) out += k <= chunk ? digits[(group >> (18 - 6 * k)) & 63] : '=';
  }
  return out;
}

inline void append_u32(std::string& out, uint32_t value) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
}

// A GLB container around `json_text`, with a binary chunk when `binary` is given (both padded).
inline std::string make_glb(std::string json_text, const std::optional<std::string>& binary) {
  json_text.append((4 - json_text.size() % 4) % 4, ' ');
  std::string body;
  append_u32(body, static_cast<uint32_t>(json_text.size()));
  body += "JSON" + json_text;
  if (binary) {
    std::string padded = *binary;
    padded.append((4 - padded.size() % 4) % 4, '\0');
    append_u32(body, static_cast<uint32_t>(padded.size()));
    body += std::string_view("BIN\0", 4);
    body += padded;
  }
  std::string glb = "glTF";
  append_u32(glb, 2);
  append_u32(glb, static_cast<uint32_t>(12 + body.size()));
  return glb + body;
}

class GltfBuilder {
 public:
  Json doc = {{"asset", {{"version", "2.0"}}}, {"meshes", Json::array()}};
  std::string bin;

  // Appends `bytes` (4-byte aligned) to the buffer as a new view; returns its index.
  int view(std::string_view bytes, int stride = 0) {
    bin.append((4 - bin.size() % 4) % 4, '\0');
    Json entry = {{"buffer", 0}, {"byteOffset", bin.size()}, {"byteLength", bytes.size()}};
    if (stride > 0) entry["byteStride"] = stride;
    bin += bytes;
    doc["bufferViews"].push_back(entry);
    return static_cast<int>(doc["bufferViews"].size()) - 1;
  }

  int accessor(Json entry) {
    doc["accessors"].push_back(std::move(entry));
    return static_cast<int>(doc["accessors"].size()) - 1;
  }

  int accessor(int view_index, int component_type, std::size_t count, const char* type) {
    return accessor({{"bufferView", view_index}, {"componentType", component_type}, {"count", count}, {"type", type}});
  }

  int vec3(const std::vector<std::array<float, 3>>& values) {
    return accessor(view(raw_bytes(values)), 5126, values.size(), "VEC3");
  }
  int vec2(const std::vector<std::array<float, 2>>& values) {
    return accessor(view(raw_bytes(values)), 5126, values.size(), "VEC2");
  }
  template <class T>
  int scalars(const std::vector<T>& values, int component_type) {
    return accessor(view(raw_bytes(values)), component_type, values.size(), "SCALAR");
  }
  int indices(const std::vector<uint16_t>& values) { return scalars(values, 5123); }

  // Adds a primitive to mesh `mesh` (created as needed); returns it for further fields.
  Json& primitive(std::size_t mesh, Json attributes, int indices_accessor = -1) {
    while (doc["meshes"].size() <= mesh) doc["meshes"].push_back({{"primitives", Json::array()}});
    Json entry = {{"attributes", std::move(attributes)}};
    if (indices_accessor >= 0) entry["indices"] = indices_accessor;
    doc["meshes"][mesh]["primitives"].push_back(std::move(entry));
    return doc["meshes"][mesh]["primitives"].back();
  }

  std::string padded_bin() const {
    std::string bytes = bin;
    bytes.append((4 - bytes.size() % 4) % 4, '\0');
    return bytes;
  }

  std::string glb() const {
    Json copy = doc;
    copy["buffers"] = {{{"byteLength", padded_bin().size()}}};
    return make_glb(copy.dump(), padded_bin());
  }

  std::string gltf_with_data_uri() const {
    Json copy = doc;
    copy["buffers"] = {{{"byteLength", padded_bin().size()},
                        {"uri", "data:application/octet-stream;base64," + base64(padded_bin())}}};
    return copy.dump();
  }

  // JSON naming the buffer by `uri`; the caller writes padded_bin() to that file.
  std::string gltf_with_file(const std::string& uri) const {
    Json copy = doc;
    copy["buffers"] = {{{"byteLength", padded_bin().size()}, {"uri", uri}}};
    return copy.dump();
  }
};

// A triangle over three vertices, indexed by 16-bit indices.
inline GltfBuilder one_triangle() {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}}, b.indices({0, 1, 2}));
  return b;
}

}  // namespace morvane::test
