// The tables of a crate file as the reader decodes them, over the file's bytes, and the reading of
// token values that the reader and its namespace view (usdc_layer) share.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "usdc_format.hpp"

namespace morvane::io {

struct PathEntry {
  bool has_parent = false;
  uint32_t parent = 0;
  uint32_t element = 0;  // token index of the last path element
  bool property = false;
};

using PathTable = std::unordered_map<uint32_t, PathEntry>;

struct Section {
  uint64_t start = 0;
  uint64_t size = 0;
};

struct Crate {
  std::span<const uint8_t> file;
  uint8_t minor_version = 0;
  std::unordered_map<std::string, Section> sections;
  std::vector<std::string> tokens;
  std::vector<CrateField> fields;
  std::vector<uint32_t> field_sets;
  PathTable paths;
  std::vector<CrateSpec> specs;
};

// The text of an inlined token value; none for any other value.
inline std::optional<std::string_view> inlined_token(const Crate& crate, uint64_t rep) {
  if (!(rep & kRepInlined) || rep_type(rep) != kTypeToken || rep_payload(rep) >= crate.tokens.size()) {
    return std::nullopt;
  }
  return crate.tokens[rep_payload(rep)];
}

}  // namespace morvane::io
