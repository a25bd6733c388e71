// Which Mesh prim a USD layer gives first: the reference library's default stage traversal (active,
// defined, non-abstract prims, depth first, parent before children, in namespace order with
// "reorder" applied and variant selections composed in), for one layer read on its own. Both
// encodings answer through UsdLayerView. Composition arcs that would bring in other layers or prims
// (references, payloads, inherits, specializes, sublayers, relocates) are refused, not followed.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane::io {

// A prim spec, variant spec or the pseudo-root, as its layer numbers it.
using UsdSpecId = uint32_t;

enum class UsdSpecifier : uint8_t { Def, Over, Class };

// What one spec authors that decides the traversal. Views point into the layer.
struct UsdPrimFacts {
  std::optional<UsdSpecifier> specifier;
  std::string_view type_name;                     // empty when not authored
  std::optional<bool> active;
  std::vector<std::string_view> child_order;      // "reorder nameChildren" (primOrder)
  std::vector<std::pair<std::string_view, std::string_view>> variant_selections;  // set, variant
  std::vector<std::string_view> variant_sets;     // the variantSets list op applied, strongest first
  std::string_view arc;  // a composition arc that adds something, e.g. "references"; empty when none
};

// The edits of one list-valued field (a list op, as "prepend variantSets = ..." writes one): its
// explicit items, or the items it adds, prepends and appends, less those it deletes.
struct UsdListEdits {
  std::optional<std::vector<std::string_view>> explicit_items;
  std::vector<std::string_view> added, prepended, appended, deleted;

  bool adds_items() const;
  // The list that the edits make of an empty one.
  std::vector<std::string_view> applied() const;
};

struct UsdChildSpec {
  std::string_view name;
  UsdSpecId spec;
};

class UsdLayerView {
 public:
  virtual ~UsdLayerView() = default;
  // None for a layer without a pseudo-root, which holds no prims.
  virtual std::optional<UsdSpecId> pseudo_root() = 0;
  virtual UsdPrimFacts facts(UsdSpecId spec) = 0;
  // The prim specs directly below `spec`, in authored order.
  virtual std::vector<UsdChildSpec> children(UsdSpecId spec) = 0;
  // The variant spec of variant `name` of the variant set `set` authored on `spec`, when there is one.
  virtual std::optional<UsdSpecId> variant(UsdSpecId spec, std::string_view set, std::string_view name) = 0;
};

// The specs of the first Mesh prim, strongest opinion first; empty when the traversal reaches none.
// A spec is used at most once, so a layer whose lists loop back cannot make the walk loop. Throws
// IoError when the walk meets a composition arc before it reaches the mesh (on the mesh included).
std::vector<UsdSpecId> find_first_mesh(UsdLayerView& layer);

// `names` reordered by `order` as the reference library reorders children: the list is cut before
// each child that `order` names, each such child keeps the unnamed children that follow it, the
// unnamed children before the first named one stay first, and the named groups follow in the order
// of `order`. Names that `order` repeats or that are not in `names` change nothing.
void apply_child_order(std::vector<std::string_view>& names, std::span<const std::string_view> order);

}  // namespace morvane::io
