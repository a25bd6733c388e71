// The crate namespace view. A prim's children are the prims its "primChildren" field names, found
// through the path tree; a variant of a prim is the variant spec at the path child "{set=name}".
// Every list is bounded before it is allocated: the prims that "primChildren" and "primOrder"
// lists name by the number of paths, variant and set names by the file's size.
#include "usdc_layer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <string>

#include "io_error.hpp"

namespace morvane::io {

namespace {

using Field = CrateLayer::Field;

// The names of CrateLayer::Field, in its order.
constexpr std::string_view kFieldNames[CrateLayer::kFieldCount] = {
    "typeName",     "specifier",  "active",  "primChildren", "primOrder",   "variantSelection", "variantSetNames",
    "references",   "payload",    "inheritPaths", "specializes", "relocates", "subLayers",       "layerRelocates"};

// Composition arcs as the traversal's messages name them, the text format's words.
constexpr std::pair<Field, std::string_view> kArcs[] = {
    {CrateLayer::kReferences, "references"}, {CrateLayer::kPayload, "payload"},
    {CrateLayer::kInheritPaths, "inherits"}, {CrateLayer::kSpecializes, "specializes"},
    {CrateLayer::kRelocates, "relocates"},   {CrateLayer::kSubLayers, "subLayers"},
    {CrateLayer::kLayerRelocates, "relocates"}};

constexpr uint64_t kSpecifierDef = 0, kSpecifierClass = 2;  // 1 is "over"

// `count` little-endian u32 values at the cursor (read_bytes checks that the file holds them).
std::vector<uint32_t> read_u32s(ByteCursor& cursor, uint64_t count) {
  const uint8_t* p = cursor.read_bytes(4 * count).data();
  std::vector<uint32_t> values(static_cast<std::size_t>(count));
  for (uint32_t& value : values) {
    value = load_u32(p);
    p += 4;
  }
  return values;
}

bool is_namespace_spec(const CrateSpec& spec) {
  const auto type = static_cast<SpecType>(spec.type);
  return type == SpecType::Prim || type == SpecType::PseudoRoot || type == SpecType::Variant;
}

// The fields of every prim, variant and pseudo-root spec, found in one backward pass over the
// field-set entries, so that many specs sharing long field sets cost linear time. Field sets that
// start past the entries are empty.
std::unordered_map<uint32_t, CrateLayer::Fields> namespace_fields(const Crate& crate) {
  std::vector<uint32_t> starts;
  for (const CrateSpec& spec : crate.specs) {
    if (is_namespace_spec(spec)) starts.push_back(spec.field_set);
  }
  std::sort(starts.begin(), starts.end(), std::greater<>());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());

  // Which of the fields each token names, looked up once per token.
  std::vector<int8_t> token_field(crate.tokens.size(), -2);
  const auto field_of = [&](uint32_t token) {
    if (token_field[token] == -2) {
      const auto* name = std::find(std::begin(kFieldNames), std::end(kFieldNames), crate.tokens[token]);
      token_field[token] = name == std::end(kFieldNames) ? -1 : static_cast<int8_t>(name - std::begin(kFieldNames));
    }
    return token_field[token];
  };

  std::unordered_map<uint32_t, CrateLayer::Fields> result;
  auto start = starts.begin();
  while (start != starts.end() && *start >= crate.field_sets.size()) result[*start++] = {};
  CrateLayer::Fields first;  // of the entries from the scan position to the end of its field set
  for (std::size_t i = crate.field_sets.size(); i-- > 0 && start != starts.end();) {
    const uint32_t entry = crate.field_sets[i];
    if (entry == kFieldSetTerminator) {
      first = {};
    } else if (entry < crate.fields.size()) {
      const int8_t field = field_of(crate.fields[entry].token);
      if (field >= 0) first.entries[field] = entry;
    }
    while (start != starts.end() && *start == i) result[*start++] = first;
  }
  return result;
}

bool is_structured(uint64_t rep, uint32_t type) {
  return !(rep & (kRepArray | kRepInlined)) && rep_type(rep) == type;
}

// A specifier value; one that is not a specifier defines nothing, like "over".
UsdSpecifier specifier_of(uint64_t rep) {
  if (!(rep & kRepInlined) || rep_type(rep) != kTypeSpecifier) return UsdSpecifier::Over;
  switch (rep_payload(rep)) {
    case kSpecifierDef:
      return UsdSpecifier::Def;
    case kSpecifierClass:
      return UsdSpecifier::Class;
    default:
      return UsdSpecifier::Over;
  }
}

}  // namespace

CrateLayer::CrateLayer(const Crate& crate)
    : crate_(crate),
      children_budget_(crate.paths.size()),
      order_budget_(crate.paths.size()),
      names_budget_(crate.file.size() / 4) {
  for (const CrateSpec& spec : crate.specs) {
    if (!is_namespace_spec(spec)) continue;
    spec_of_.emplace(spec.path, spec);
    if (!root_ && static_cast<SpecType>(spec.type) == SpecType::PseudoRoot) root_ = spec.path;
  }
  for (const auto& [path, entry] : crate.paths) {
    if (entry.has_parent && !entry.property) child_of_.emplace(uint64_t{entry.parent} << 32 | entry.element, path);
  }
  fields_ = namespace_fields(crate);
}

const CrateLayer::Fields& CrateLayer::fields_of(UsdSpecId spec) const {
  return fields_.at(spec_of_.at(spec).field_set);
}

std::optional<uint64_t> CrateLayer::rep(const Fields& fields, Field field) const {
  const uint32_t entry = fields.entries[field];
  if (entry == Fields::kAbsent) return std::nullopt;
  return crate_.fields[entry].rep;
}

// The token indices of a token vector value; none for another value. In a layer each prim is
// listed once, by its parent, so such lists together name no more prims than the file has paths;
// `budget` counts down what is left of that.
std::vector<uint32_t> CrateLayer::token_indices(uint64_t rep, uint64_t& budget, std::string_view field) {
  if (!is_structured(rep, kTypeTokenVector)) return {};
  ByteCursor cursor(crate_.file, rep_payload(rep));
  const uint64_t count = cursor.read_u64();
  if (count > budget) throw IoError::usd_parse(fmt::format("{} lists more prims than the file has paths", field));
  budget -= count;
  return read_u32s(cursor, count);
}

std::string_view CrateLayer::string_at(uint32_t index) {
  if (!strings_) {
    const auto section = crate_.sections.find("STRINGS");
    if (section == crate_.sections.end()) throw IoError::usd_parse("missing STRINGS section");
    ByteCursor cursor(crate_.file, section->second.start);
    const uint64_t count = cursor.read_u64();
    if (count > crate_.file.size() / 4) throw IoError::usd_parse("implausible string count");
    strings_ = read_u32s(cursor, count);
  }
  if (index >= strings_->size() || (*strings_)[index] >= crate_.tokens.size()) {
    throw IoError::usd_parse("string index out of range");
  }
  return crate_.tokens[(*strings_)[index]];
}

// A u64 count and that many string indices, counted against the names budget.
std::vector<std::string_view> CrateLayer::string_list(ByteCursor& cursor, std::string_view field) {
  const uint64_t count = cursor.read_u64();
  if (count > names_budget_) throw IoError::usd_parse(fmt::format("{} lists more names than the file holds", field));
  names_budget_ -= count;
  std::vector<std::string_view> names;
  for (const uint32_t index : read_u32s(cursor, count)) names.push_back(string_at(index));
  return names;
}

// Whether an arc field's value adds anything: a list op that adds, prepends, appends or sets
// items, a non-empty sublayer list or relocation map. Values of any other shape are taken to add.
bool CrateLayer::adds_arc(uint64_t rep) {
  if (rep & (kRepArray | kRepInlined)) return true;
  ByteCursor cursor(crate_.file, rep_payload(rep));
  switch (rep_type(rep)) {
    case kTypePathListOp:
    case kTypeReferenceListOp:
    case kTypePayloadListOp:
      return cursor.read_bytes(1)[0] &
             (kListOpHasExplicit | kListOpHasAdded | kListOpHasPrepended | kListOpHasAppended);
    case kTypeStringVector:
    case kTypeRelocates:
      return cursor.read_u64() != 0;
    default:
      return true;
  }
}

// A variant selection map: u64 count, then a set name and a variant name per entry, each a string
// index.
std::vector<std::pair<std::string_view, std::string_view>> CrateLayer::variant_selections(uint64_t rep) {
  ByteCursor cursor(crate_.file, rep_payload(rep));
  const uint64_t count = cursor.read_u64();
  if (count > names_budget_ / 2) throw IoError::usd_parse("variantSelection lists more names than the file holds");
  names_budget_ -= 2 * count;
  std::vector<std::pair<std::string_view, std::string_view>> selections;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* pair = cursor.read_bytes(8).data();
    selections.emplace_back(string_at(load_u32(pair)), string_at(load_u32(pair + 4)));
  }
  return selections;
}

// The variant set names a string list op gives: its header byte, then its item lists.
std::vector<std::string_view> CrateLayer::variant_sets(uint64_t rep) {
  ByteCursor cursor(crate_.file, rep_payload(rep));
  const uint8_t header = cursor.read_bytes(1)[0];
  UsdListEdits edits;
  if (header & kListOpHasExplicit) edits.explicit_items = string_list(cursor, "variantSetNames");
  if (header & kListOpHasAdded) edits.added = string_list(cursor, "variantSetNames");
  if (header & kListOpHasPrepended) edits.prepended = string_list(cursor, "variantSetNames");
  if (header & kListOpHasAppended) edits.appended = string_list(cursor, "variantSetNames");
  if (header & kListOpHasDeleted) edits.deleted = string_list(cursor, "variantSetNames");
  if ((header & kListOpIsExplicit) && !edits.explicit_items) edits.explicit_items.emplace();
  return edits.applied();
}

UsdPrimFacts CrateLayer::facts(UsdSpecId spec) {
  const Fields& fields = fields_of(spec);
  UsdPrimFacts facts;
  if (const auto specifier = rep(fields, kSpecifier)) facts.specifier = specifier_of(*specifier);
  if (const auto type_name = rep(fields, kTypeName)) facts.type_name = inlined_token(crate_, *type_name).value_or("");
  if (const auto active = rep(fields, kActive); active && (*active & kRepInlined) && rep_type(*active) == kTypeBool) {
    facts.active = rep_payload(*active) != 0;
  }
  if (const auto order = rep(fields, kPrimOrder)) {
    for (const uint32_t token : token_indices(*order, order_budget_, "primOrder")) {
      if (token < crate_.tokens.size()) facts.child_order.push_back(crate_.tokens[token]);
    }
  }
  if (const auto map = rep(fields, kVariantSelection); map && is_structured(*map, kTypeVariantSelectionMap)) {
    facts.variant_selections = variant_selections(*map);
  }
  if (const auto sets = rep(fields, kVariantSetNames); sets && is_structured(*sets, kTypeStringListOp)) {
    facts.variant_sets = variant_sets(*sets);
  }
  for (const auto& [field, name] : kArcs) {
    if (const auto arc = rep(fields, field); arc && adds_arc(*arc)) {
      facts.arc = name;
      break;
    }
  }
  return facts;
}

std::vector<UsdChildSpec> CrateLayer::children(UsdSpecId spec) {
  const std::optional<uint64_t> names = rep(fields_of(spec), kPrimChildren);
  if (!names) return {};
  std::vector<UsdChildSpec> children;
  for (const uint32_t token : token_indices(*names, children_budget_, "primChildren")) {
    const auto child = child_of_.find(uint64_t{spec} << 32 | token);
    if (child == child_of_.end()) continue;
    const auto child_spec = spec_of_.find(child->second);
    if (child_spec == spec_of_.end() || static_cast<SpecType>(child_spec->second.type) != SpecType::Prim) continue;
    children.push_back({crate_.tokens[token], child->second});
  }
  return children;
}

std::optional<UsdSpecId> CrateLayer::variant(UsdSpecId spec, std::string_view set, std::string_view name) {
  if (!token_index_) {
    token_index_.emplace();
    for (std::size_t i = 0; i < crate_.tokens.size(); ++i) {
      token_index_->emplace(crate_.tokens[i], static_cast<uint32_t>(i));
    }
  }
  const auto token = token_index_->find(fmt::format("{{{}={}}}", set, name));
  if (token == token_index_->end()) return std::nullopt;
  const auto path = child_of_.find(uint64_t{spec} << 32 | token->second);
  if (path == child_of_.end()) return std::nullopt;
  const auto variant_spec = spec_of_.find(path->second);
  if (variant_spec == spec_of_.end() || static_cast<SpecType>(variant_spec->second.type) != SpecType::Variant) {
    return std::nullopt;
  }
  return path->second;
}

}  // namespace morvane::io
