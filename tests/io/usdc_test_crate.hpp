// Builds crate files with arbitrary tables for the reader tests: a pseudo-root with prims as its
// children, each prim with attribute specs, values in the value area, and the six sections.
#pragma once

#include <bit>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/usdc_format.hpp"

namespace morvane::test {

using namespace morvane::io;

struct TestAttribute {
  std::string name;
  std::vector<std::pair<std::string, uint64_t>> fields;  // usually {"default", rep}
};

struct TestPrim {
  std::string name;
  std::vector<std::pair<std::string, uint64_t>> fields;  // usually {"typeName", token rep}
  std::vector<TestAttribute> attributes;
};

class TestCrate : public CrateTables {
 public:
  // Token 0 is never a property name: a negated 0 would not mark a property.
  TestCrate() { token(";-)"); }

  uint8_t minor_version = 8;
  std::vector<uint8_t> values;

  uint32_t token(const std::string& text) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i] == text) return static_cast<uint32_t>(i);
    }
    tokens.push_back(text);
    return static_cast<uint32_t>(tokens.size() - 1);
  }

  uint64_t token_rep(const std::string& text) { return make_rep(kTypeToken, kRepInlined, token(text)); }

  uint32_t field_set(const std::vector<std::pair<std::string, uint64_t>>& named) {
    const auto start = static_cast<uint32_t>(field_sets.size());
    for (const auto& [name, rep] : named) {
      fields.push_back({token(name), rep});
      field_sets.push_back(static_cast<uint32_t>(fields.size() - 1));
    }
    field_sets.push_back(kFieldSetTerminator);
    return start;
  }

  // An array value's element count in the layout of this file's version.
  void append_count(uint64_t count) {
    if (minor_version < 5) append_u32(values, 1);  // rank
    if (minor_version < 7) {
      append_u32(values, static_cast<uint32_t>(count));
    } else {
      append_u64(values, count);
    }
  }

  uint64_t offset() const { return kCrateHeaderSize + values.size(); }

  uint64_t int_array(const std::vector<int32_t>& v, bool compressed = false) {
    const uint64_t rep = make_rep(kTypeInt, kRepArray | (compressed ? kRepCompressed : 0), offset());
    append_count(v.size());
    if (compressed) {
      compress_ints(values, v);
    } else {
      for (const int32_t x : v) append_u32(values, static_cast<uint32_t>(x));
    }
    return rep;
  }

  uint64_t float3_array(const std::vector<float>& components) {
    const uint64_t rep = make_rep(kTypeFloat3, kRepArray, offset());
    append_count(components.size() / 3);
    for (const float c : components) append_u32(values, std::bit_cast<uint32_t>(c));
    return rep;
  }

  uint64_t double3_array(const std::vector<double>& components) {
    const uint64_t rep = make_rep(kTypeDouble3, kRepArray, offset());
    append_count(components.size() / 3);
    for (const double c : components) append_u64(values, std::bit_cast<uint64_t>(c));
    return rep;
  }

  uint64_t token_vector(const std::vector<std::string>& texts) {
    const uint64_t rep = make_rep(kTypeTokenVector, 0, offset());
    append_u64(values, texts.size());
    for (const std::string& text : texts) append_u32(values, token(text));
    return rep;
  }

  // Pseudo-root (path 0) with the prims as children, listed in "primChildren" in the same order;
  // each prim's attributes are its children. Path indices are the entries' positions; specs follow
  // the same order.
  void set_scene(const std::vector<TestPrim>& prims) {
    token("");
    std::vector<std::string> names;
    for (const TestPrim& prim : prims) names.push_back(prim.name);
    add_path(0, token(""), prims.empty() ? -2 : -1, field_set({{"primChildren", token_vector(names)}}),
             SpecType::PseudoRoot);
    for (std::size_t p = 0; p < prims.size(); ++p) {
      const TestPrim& prim = prims[p];
      const bool last_prim = p + 1 == prims.size();
      const std::size_t entry = path_indexes.size();
      const uint32_t prim_set = field_set(prim.fields);
      // A prim with attributes has a child; the jump to its next sibling skips them.
      int32_t jump;
      if (prim.attributes.empty()) {
        jump = last_prim ? -2 : 0;
      } else {
        jump = last_prim ? -1 : static_cast<int32_t>(prim.attributes.size() + 1);
      }
      add_path(static_cast<int32_t>(entry), static_cast<int32_t>(token(prim.name)), jump, prim_set, SpecType::Prim);
      for (std::size_t a = 0; a < prim.attributes.size(); ++a) {
        const TestAttribute& attribute = prim.attributes[a];
        const uint32_t set = field_set(attribute.fields);
        add_path(static_cast<int32_t>(path_indexes.size()), -static_cast<int32_t>(token(attribute.name)),
                 a + 1 == prim.attributes.size() ? -2 : 0, set, SpecType::Attribute);
      }
    }
  }

  std::vector<uint8_t> build() const {
    const CrateTail tail = encode_crate_tail(*this, values.size());
    std::vector<uint8_t> file = encode_crate_header(minor_version, tail.toc_offset);
    file.insert(file.end(), values.begin(), values.end());
    file.insert(file.end(), tail.bytes.begin(), tail.bytes.end());
    return file;
  }

 private:
  void add_path(int32_t path, int32_t element, int32_t jump, uint32_t set, SpecType type) {
    path_indexes.push_back(path);
    element_tokens.push_back(element);
    jumps.push_back(jump);
    specs.push_back({static_cast<uint32_t>(path), set, static_cast<uint32_t>(type)});
  }
};

// A Mesh prim "name" with points, counts and indices (raw int arrays) and optional extra fields.
inline TestPrim mesh_prim(TestCrate& crate, const std::string& name, const std::vector<float>& points,
                          const std::vector<int32_t>& counts, const std::vector<int32_t>& indices) {
  TestPrim prim{name, {{"specifier", 0x402A000000000000}, {"typeName", crate.token_rep("Mesh")}}, {}};
  prim.attributes.push_back(
      {"points", {{"typeName", crate.token_rep("point3f[]")}, {"default", crate.float3_array(points)}}});
  prim.attributes.push_back({"faceVertexCounts", {{"default", crate.int_array(counts)}}});
  prim.attributes.push_back({"faceVertexIndices", {{"default", crate.int_array(indices)}}});
  return prim;
}

// The tables of a crate file, decoded with the container functions alone.
struct DecodedCrate : CrateTables {
  std::map<std::string, std::pair<uint64_t, uint64_t>> sections;  // name -> (start, size)
  uint64_t toc_offset = 0;
};

inline DecodedCrate decode_tables(const std::vector<uint8_t>& file) {
  DecodedCrate t;
  t.toc_offset = load_u64(file.data() + 16);
  ByteCursor toc(file, t.toc_offset);
  const uint64_t count = toc.read_u64();
  for (uint64_t k = 0; k < count; ++k) {
    const auto name = toc.read_bytes(16);
    std::string text(name.begin(), name.end());
    text.resize(text.find('\0') == std::string::npos ? 16 : text.find('\0'));
    const uint64_t start = toc.read_u64();
    t.sections[text] = {start, toc.read_u64()};
  }
  ByteCursor tokens(file, t.sections["TOKENS"].first);
  const uint64_t token_count = tokens.read_u64();
  const uint64_t raw = tokens.read_u64();
  const std::vector<uint8_t> text = decompress_lz4_blob(tokens.read_bytes(tokens.read_u64()), raw);
  std::string current;
  for (const uint8_t c : text) {
    if (c == 0) {
      t.tokens.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(c);
    }
  }
  EXPECT_EQ(t.tokens.size(), token_count);
  ByteCursor fields(file, t.sections["FIELDS"].first);
  const uint64_t field_count = fields.read_u64();
  const std::vector<int32_t> names = read_compressed_ints(fields, field_count);
  const std::vector<uint8_t> reps = decompress_lz4_blob(fields.read_bytes(fields.read_u64()), 8 * field_count);
  for (uint64_t i = 0; i < field_count; ++i) {
    t.fields.push_back({static_cast<uint32_t>(names[i]), load_u64(&reps[8 * i])});
  }
  ByteCursor sets(file, t.sections["FIELDSETS"].first);
  const std::vector<int32_t> entries = read_compressed_ints(sets, sets.read_u64());
  t.field_sets.assign(entries.begin(), entries.end());
  ByteCursor paths(file, t.sections["PATHS"].first);
  paths.read_u64();
  const uint64_t path_count = paths.read_u64();
  t.path_indexes = read_compressed_ints(paths, path_count);
  t.element_tokens = read_compressed_ints(paths, path_count);
  t.jumps = read_compressed_ints(paths, path_count);
  ByteCursor specs(file, t.sections["SPECS"].first);
  const uint64_t spec_count = specs.read_u64();
  const std::vector<int32_t> spec_paths = read_compressed_ints(specs, spec_count);
  const std::vector<int32_t> spec_sets = read_compressed_ints(specs, spec_count);
  const std::vector<int32_t> spec_types = read_compressed_ints(specs, spec_count);
  for (uint64_t i = 0; i < spec_count; ++i) {
    t.specs.push_back({static_cast<uint32_t>(spec_paths[i]), static_cast<uint32_t>(spec_sets[i]),
                       static_cast<uint32_t>(spec_types[i])});
  }
  return t;
}

}  // namespace morvane::test
