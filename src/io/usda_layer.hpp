// A USDA text layer parsed into its specs: the pseudo-root, each prim and each variant, with the
// metadata that decides the traversal and the values of their attributes, kept as text until they
// are read. The parse is lenient about what it does not need (other metadata, relationships,
// connections, unknown statements) and strict about the nesting of blocks.
#pragma once

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
  UsdPrimFacts facts(UsdSpecId spec) override { return specs_[spec].facts; }
  std::vector<UsdChildSpec> children(UsdSpecId spec) override { return specs_[spec].children; }
  std::optional<UsdSpecId> variant(UsdSpecId spec, std::string_view set, std::string_view name) override;

  // The value that the last statement of `spec` naming the attribute gives it, by its whole name;
  // its default, or its time samples. Null when none does.
  const UsdaToken* attribute_value(UsdSpecId spec, std::string_view name, bool time_samples) const;

 private:
  class Parser;

  struct Spec {
    UsdPrimFacts facts;
    std::vector<UsdChildSpec> children;
    std::vector<UsdaAttributeValue> values;
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
  using VariantIndex = std::unordered_map<VariantKey, UsdSpecId, VariantKeyHash>;

  std::vector<Spec> specs_;
  VariantIndex variants_;
};

}  // namespace morvane::io
