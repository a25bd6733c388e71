// The tables of a crate file as the reader decodes them, over the file's bytes, and the field
// lookups that the reader and its namespace view (usdc_layer) share.
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

// The first field called `name` in the field set starting at `field_set`. The walk stops at the
// terminator or the end of the list and skips entries that name no field; an index beyond the
// list is an empty field set.
inline std::optional<uint64_t> find_field(const Crate& crate, uint64_t field_set, std::string_view name) {
  for (uint64_t i = field_set; i < crate.field_sets.size(); ++i) {
    const uint32_t entry = crate.field_sets[i];
    if (entry == kFieldSetTerminator) break;
    if (entry < crate.fields.size() && crate.tokens[crate.fields[entry].token] == name) return crate.fields[entry].rep;
  }
  return std::nullopt;
}

// The text of an inlined token value; none for any other value.
inline std::optional<std::string_view> inlined_token(const Crate& crate, uint64_t rep) {
  if (!(rep & kRepInlined) || rep_type(rep) != kTypeToken || rep_payload(rep) >= crate.tokens.size()) {
    return std::nullopt;
  }
  return crate.tokens[rep_payload(rep)];
}

}  // namespace morvane::io
