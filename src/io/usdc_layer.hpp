// The namespace of a decoded crate file as the traversal sees it: the pseudo-root, prim and variant
// specs by path, their children from "primChildren", and what their fields say about specifier,
// type, "active", child order, variants and composition arcs. Lists are decoded only for the specs
// the traversal asks about, and the STRINGS section only when a variant needs it.
#pragma once

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "usd_traversal.hpp"
#include "usdc_crate.hpp"

namespace morvane::io {

class CrateLayer final : public UsdLayerView {
 public:
  explicit CrateLayer(const Crate& crate);

  std::optional<UsdSpecId> pseudo_root() override { return root_; }
  UsdPrimFacts facts(UsdSpecId spec) override;
  std::vector<UsdChildSpec> children(UsdSpecId spec) override;
  std::optional<UsdSpecId> variant(UsdSpecId spec, std::string_view set, std::string_view name) override;

  // The fields of prims, variants and the pseudo-root that the traversal reads.
  enum Field : uint8_t {
    kTypeName, kSpecifier, kActive, kPrimChildren, kPrimOrder, kVariantSelection, kVariantSetNames,
    kReferences, kPayload, kInheritPaths, kSpecializes, kRelocates, kSubLayers, kLayerRelocates, kFieldCount
  };
  // The first field of each name in a spec's field set, as an index into the crate's fields.
  struct Fields {
    static constexpr uint32_t kAbsent = UINT32_MAX;
    Fields() { std::fill(std::begin(entries), std::end(entries), kAbsent); }
    uint32_t entries[kFieldCount];
  };

 private:
  const Fields& fields_of(UsdSpecId spec) const;
  std::optional<uint64_t> rep(const Fields& fields, Field field) const;
  std::vector<uint32_t> token_indices(uint64_t rep, uint64_t& budget, std::string_view field);
  std::string_view string_at(uint32_t index);
  std::vector<std::string_view> string_list(ByteCursor& cursor, std::string_view field);
  std::vector<std::pair<std::string_view, std::string_view>> variant_selections(uint64_t rep);
  std::vector<std::string_view> variant_sets(uint64_t rep);
  bool adds_arc(uint64_t rep);

  const Crate& crate_;
  std::optional<UsdSpecId> root_;
  std::unordered_map<uint32_t, CrateSpec> spec_of_;      // path -> its first prim, variant or root spec
  std::unordered_map<uint64_t, uint32_t> child_of_;      // parent path << 32 | element token -> path
  std::unordered_map<uint32_t, Fields> fields_;          // field-set start -> fields
  uint64_t children_budget_;                             // prims that "primChildren" lists may still name
  uint64_t order_budget_;                                // and "primOrder" lists
  uint64_t names_budget_;                                // names that other lists may still hold
  std::optional<std::vector<uint32_t>> strings_;         // STRINGS: token index of each string
  std::optional<std::unordered_map<std::string_view, uint32_t>> token_index_;
};

}  // namespace morvane::io
