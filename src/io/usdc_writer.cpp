// Crate writer: the proxy layer (pseudo-root, Mesh prim "/proxy", one attribute spec per property)
// as a USD crate file of version 0.8.0. The order in which tokens are interned and fields, field
// sets and values are added decides the file's bytes, so it is fixed step by step below.
#include <bit>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/numeric.hpp"
#include "core/run_context.hpp"
#include "file_writer.hpp"
#include "usd.hpp"
#include "usdc.hpp"
#include "usdc_format.hpp"

namespace morvane::io {

namespace {

constexpr uint64_t kDoubleOne = 0x400900003F800000;       // double 1.0, inlined as the bits of 1.0f
constexpr uint64_t kSpecifierDef = 0x402A000000000000;    // specifier "def", inlined
constexpr uint64_t kUniform = 0x402C000000000001;         // variability "uniform", inlined
constexpr std::size_t kMinCompressedInts = 16;

struct FieldKey {
  uint32_t token;
  uint64_t rep;
  bool operator==(const FieldKey&) const = default;
};

struct FieldKeyHash {
  std::size_t operator()(const FieldKey& key) const {
    return std::hash<uint64_t>()(key.rep * 0x9E3779B97F4A7C15ULL ^ key.token);
  }
};

struct FieldSetHash {
  std::size_t operator()(const std::vector<uint32_t>& set) const {
    uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a over the entries
    for (const uint32_t v : set) h = (h ^ v) * 0x100000001b3ULL;
    return static_cast<std::size_t>(h);
  }
};

// The writer's tables; the maps only serve lookups and are never iterated.
struct CrateWriter {
  CrateTables tables;
  std::unordered_map<std::string, uint32_t> token_map;
  std::unordered_map<FieldKey, uint32_t, FieldKeyHash> field_map;
  std::unordered_map<std::vector<uint32_t>, uint32_t, FieldSetHash> field_set_map;
  std::vector<uint8_t> values;  // the value data area, which starts right after the header
};

struct CrateProperty {
  std::string_view name;
  std::string_view type_name;
  uint64_t value;
  bool uniform;
  bool face_varying;
};

uint32_t intern_token(CrateWriter& w, std::string_view text) {
  const auto [it, added] = w.token_map.try_emplace(std::string(text), static_cast<uint32_t>(w.tables.tokens.size()));
  if (added) w.tables.tokens.emplace_back(text);
  return it->second;
}

uint64_t inlined_token(CrateWriter& w, std::string_view text) {
  return make_rep(kTypeToken, kRepInlined, intern_token(w, text));
}

uint32_t add_field(CrateWriter& w, std::string_view name, uint64_t value) {
  const uint32_t token = intern_token(w, name);
  const auto index = static_cast<uint32_t>(w.tables.fields.size());
  const auto [it, added] = w.field_map.try_emplace(FieldKey{token, value}, index);
  if (added) w.tables.fields.push_back({token, value});
  return it->second;
}

uint32_t add_field_set(CrateWriter& w, std::vector<uint32_t> field_indices) {
  const auto index = static_cast<uint32_t>(w.tables.field_sets.size());
  const auto [it, added] = w.field_set_map.try_emplace(std::move(field_indices), index);
  if (added) {
    w.tables.field_sets.insert(w.tables.field_sets.end(), it->first.begin(), it->first.end());
    w.tables.field_sets.push_back(kFieldSetTerminator);
  }
  return it->second;
}

uint64_t value_offset(const CrateWriter& w) { return kCrateHeaderSize + w.values.size(); }

uint64_t write_token_vector_value(CrateWriter& w, std::span<const std::string_view> texts) {
  std::vector<uint32_t> indices;
  for (const std::string_view text : texts) indices.push_back(intern_token(w, text));
  const uint64_t rep = make_rep(kTypeTokenVector, 0, value_offset(w));
  append_u64(w.values, indices.size());
  for (const uint32_t index : indices) append_u32(w.values, index);
  return rep;
}

uint64_t write_float_array_value(CrateWriter& w, uint32_t type, std::span<const float> components) {
  const uint64_t rep = make_rep(type, kRepArray, value_offset(w));
  append_u64(w.values, components.size() / (type == kTypeFloat3 ? 3 : 2));
  std::size_t at = w.values.size();
  w.values.resize(at + 4 * components.size());
  for_each_polled_range(components.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i, at += 4) store_u32(&w.values[at], std::bit_cast<uint32_t>(components[i]));
  });
  return rep;
}

uint64_t write_int_array_value(CrateWriter& w, std::span<const int32_t> values) {
  const bool compressed = values.size() >= kMinCompressedInts;
  const uint64_t rep = make_rep(kTypeInt, kRepArray | (compressed ? kRepCompressed : 0), value_offset(w));
  append_u64(w.values, values.size());
  if (compressed) {
    compress_ints(w.values, values);
  } else {
    for (const int32_t v : values) append_u32(w.values, static_cast<uint32_t>(v));
  }
  return rep;
}

std::vector<float> narrowed(std::span<const Vec3> vectors) {
  std::vector<float> components;
  components.reserve(3 * vectors.size());
  for_each_polled_range(vectors.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      for (const double c : vectors[i]) components.push_back(narrow_to_float(c));
    }
  });
  return components;
}

// The header, the value data and everything after it (sections and table of contents).
struct EncodedCrate {
  std::vector<uint8_t> header;
  std::vector<uint8_t> values;
  std::vector<uint8_t> tail;
};

EncodedCrate encode(const MeshData& mesh) {
  CrateWriter w;
  // 1. Token 0 is never a property name, so every negated property token is below zero.
  intern_token(w, ";-)");
  intern_token(w, "");

  // 2. Pseudo-root.
  const uint32_t up_axis = add_field(w, "upAxis", inlined_token(w, "Y"));
  const uint32_t meters = add_field(w, "metersPerUnit", kDoubleOne);
  const std::string_view children[] = {"proxy"};
  const uint32_t prim_children = add_field(w, "primChildren", write_token_vector_value(w, children));
  const uint32_t default_prim = add_field(w, "defaultPrim", inlined_token(w, "proxy"));
  const uint32_t root_fields = add_field_set(w, {up_axis, meters, prim_children, default_prim});

  // 3.-8. Values, in this order.
  const std::array<float, 6> extent = compute_extent(mesh.positions);
  const uint64_t extent_value = write_float_array_value(w, kTypeFloat3, extent);
  const std::vector<int32_t> counts(mesh.triangles.size(), 3);
  const uint64_t counts_value = write_int_array_value(w, counts);
  std::vector<int32_t> corners;
  corners.reserve(3 * mesh.triangles.size());
  for_each_polled_range(mesh.triangles.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t t = begin; t < end; ++t) {
      for (const uint32_t v : mesh.triangles[t]) corners.push_back(static_cast<int32_t>(v));
    }
  });
  const uint64_t indices_value = write_int_array_value(w, corners);
  corners = {};
  uint64_t normals_value = 0;
  if (mesh.normals) normals_value = write_float_array_value(w, kTypeFloat3, narrowed(*mesh.normals));
  const uint64_t points_value = write_float_array_value(w, kTypeFloat3, narrowed(mesh.positions));
  uint64_t uvs_value = 0;
  if (mesh.uvs) {
    std::vector<float> components;
    components.reserve(2 * mesh.uvs->size());
    for (const Uv& uv : *mesh.uvs) components.insert(components.end(), uv.begin(), uv.end());
    uvs_value = write_float_array_value(w, kTypeFloat2, components);
  }

  // 9. Properties in byte order of their names.
  const uint64_t purpose = inlined_token(w, "proxy");
  const uint64_t scheme = inlined_token(w, "none");
  std::vector<CrateProperty> properties = {
      {"extent", "float3[]", extent_value, false, false},
      {"faceVertexCounts", "int[]", counts_value, false, false},
      {"faceVertexIndices", "int[]", indices_value, false, false},
  };
  if (mesh.normals) properties.push_back({"normals", "normal3f[]", normals_value, false, true});
  properties.push_back({"points", "point3f[]", points_value, false, false});
  if (mesh.uvs) properties.push_back({"primvars:st", "texCoord2f[]", uvs_value, false, true});
  properties.push_back({"purpose", "token", purpose, true, false});
  properties.push_back({"subdivisionScheme", "token", scheme, true, false});

  // 10. The prim.
  const uint32_t specifier = add_field(w, "specifier", kSpecifierDef);
  const uint32_t type_name = add_field(w, "typeName", inlined_token(w, "Mesh"));
  std::vector<std::string_view> names;
  for (const CrateProperty& p : properties) names.push_back(p.name);
  const uint32_t property_list = add_field(w, "properties", write_token_vector_value(w, names));
  const uint32_t prim_fields = add_field_set(w, {specifier, type_name, property_list});

  // 11. Path table: pseudo-root, /proxy, then its properties as siblings.
  CrateTables& t = w.tables;
  t.path_indexes = {0, 1};
  t.element_tokens = {static_cast<int32_t>(intern_token(w, "")), static_cast<int32_t>(intern_token(w, "proxy"))};
  t.jumps = {-1, -1};
  for (std::size_t i = 0; i < properties.size(); ++i) {
    t.path_indexes.push_back(static_cast<int32_t>(2 + i));
    t.element_tokens.push_back(-static_cast<int32_t>(intern_token(w, properties[i].name)));
    t.jumps.push_back(i + 1 == properties.size() ? -2 : 0);
  }

  // 12. Specs.
  t.specs.push_back({0, root_fields, static_cast<uint32_t>(SpecType::PseudoRoot)});
  t.specs.push_back({1, prim_fields, static_cast<uint32_t>(SpecType::Prim)});
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const CrateProperty& p = properties[i];
    std::vector<uint32_t> set = {add_field(w, "typeName", inlined_token(w, p.type_name))};
    if (p.uniform) set.push_back(add_field(w, "variability", kUniform));
    set.push_back(add_field(w, "default", p.value));
    if (p.face_varying) set.push_back(add_field(w, "interpolation", inlined_token(w, "faceVarying")));
    const uint32_t field_set = add_field_set(w, std::move(set));
    t.specs.push_back({static_cast<uint32_t>(2 + i), field_set, static_cast<uint32_t>(SpecType::Attribute)});
  }

  // Layout: header | values | six sections | table of contents.
  EncodedCrate out;
  CrateTail tail = encode_crate_tail(t, w.values.size());
  out.header = encode_crate_header(8, tail.toc_offset);
  out.tail = std::move(tail.bytes);
  out.values = std::move(w.values);
  return out;
}

}  // namespace

std::vector<uint8_t> encode_usdc(const MeshData& mesh) {
  EncodedCrate crate = encode(mesh);
  std::vector<uint8_t> bytes = std::move(crate.header);
  bytes.insert(bytes.end(), crate.values.begin(), crate.values.end());
  bytes.insert(bytes.end(), crate.tail.begin(), crate.tail.end());
  return bytes;
}

void write_usdc(const std::string& path, const MeshData& mesh) {
  const EncodedCrate crate = encode(mesh);
  FileWriter file(path);
  file.write(crate.header.data(), crate.header.size());
  file.write(crate.values.data(), crate.values.size());
  file.write(crate.tail.data(), crate.tail.size());
  file.commit();
}

}  // namespace morvane::io
