// A USDA text layer parsed into its specs: the pseudo-root, each prim and each variant, with the
// metadata that decides the traversal and the values of their attributes, kept as text until they
// are read. The parse is lenient about what it does not need (other metadata, relationships,
// connections, unknown statements) and strict about the nesting of blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "usd_traversal.hpp"
#include "usda_syntax.hpp"

namespace morvane::io {

// One statement that gives an attribute a value: "name = value" (its default) or
// "name.timeSamples = { ... }".
struct UsdaAttributeValue {
  std::string_view name;
  bool time_samples = false;
  UsdaToken value;  // a word, string, path or group ("[...]", "{...}") as written
};

class UsdaLayer final : public UsdLayerView {
 public:
  // Parses the whole text. Throws IoError for a prim or variant header that is not followed by a
  // block ("malformed Mesh block"), a block that the text does not close ("unclosed Mesh block"),
  // and nesting deeper than kMaxUsdaNesting.
  explicit UsdaLayer(std::string_view text);

  std::optional<UsdSpecId> pseudo_root() override { return 0; }
  UsdPrimFacts facts(UsdSpecId spec) override;
  std::vector<UsdChildSpec> children(UsdSpecId spec) override;
  std::optional<UsdSpecId> variant(UsdSpecId spec, std::string_view set, std::string_view name) override;

  // The value that the last statement of `spec` naming the attribute gives it, by its whole name;
  // its default, or its time samples. Null when none does.
  const UsdaToken* attribute_value(UsdSpecId spec, std::string_view name, bool time_samples) const;

 private:
  class Parser;

  static constexpr uint32_t kNone = UINT32_MAX;

  // Kept small, since a layer may hold millions of prims: lists live in the layer's own vectors,
  // linked by index, and what few specs author (orders, variants) in `lists_`.
  struct Spec {
    std::string_view type_name;
    std::string_view arc;
    std::optional<UsdSpecifier> specifier;
    std::optional<bool> active;
    uint32_t lists = kNone;                            // in lists_
    uint32_t first_child = kNone, last_child = kNone;  // in children_, in authored order
    uint32_t last_value = kNone;                       // in values_, newest first
  };
  struct Lists {
    std::vector<std::string_view> child_order;
    std::vector<std::pair<std::string_view, std::string_view>> variant_selections;
    std::vector<std::string_view> variant_sets;
  };
  struct ChildLink {
    UsdChildSpec child;
    uint32_t next = kNone;
  };
  struct ValueLink {
    UsdaAttributeValue value;
    uint32_t previous = kNone;
  };

  // The variant specs of the layer by their prim spec, set and name.
  struct VariantKey {
    UsdSpecId spec;
    std::string_view set, name;
    bool operator==(const VariantKey&) const = default;
  };
  struct VariantKeyHash {
    std::size_t operator()(const VariantKey& key) const;
  };

  std::vector<Spec> specs_;
  std::vector<Lists> lists_;
  std::vector<ChildLink> children_;
  std::vector<ValueLink> values_;
  std::unordered_map<VariantKey, UsdSpecId, VariantKeyHash> variants_;
};

}  // namespace morvane::io
