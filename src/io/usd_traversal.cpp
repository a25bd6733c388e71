// The traversal keeps composed prims waiting on a stack, depth first. A composed prim is the list
// of specs that give it opinions, strongest first: the prim spec named like it below each spec of
// its parent, each followed by the variants that its variant sets select. This is the order in which
// the reference library ranks a prim's opinions when variants are its only composition arcs.
#include "usd_traversal.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "io_error.hpp"

namespace morvane::io {

namespace {

struct ComposedSpec {
  UsdSpecId id;
  UsdPrimFacts facts;
};

constexpr std::size_t kNoParent = SIZE_MAX;

// A prim whose visit is still to come. The specs that carry its name, strongest first and before
// their variants are added, are a range of the walk's spec stack: prims wait in the order in which
// their ranges were pushed, so the range of the prim visited next is always the last one.
struct PendingPrim {
  std::size_t first_spec;
  std::size_t spec_count;
  std::size_t parent;  // its parent's entry in the visited names, for messages
  std::string_view name;
  // The strongest spec is the prim's own spec in the layer (no variant holds it), whose opinions
  // no composition arc can override.
  bool own_spec_first;
};

// The prims still to visit, last first, with their specs.
struct Pending {
  std::vector<PendingPrim> prims;
  std::vector<UsdSpecId> specs;
};

struct VisitedName {
  std::string_view name;
  std::size_t parent;
};

std::string path_of(const std::vector<VisitedName>& visited, std::size_t entry) {
  std::vector<std::string_view> names;
  for (std::size_t e = entry; e != kNoParent; e = visited[e].parent) names.push_back(visited[e].name);
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    path += '/';
    path += *name;
  }
  return path;
}

IoError refusal(std::string_view where, std::string_view arc) {
  return IoError::usd_parse(fmt::format("{} has {}, which this reader does not compose; flatten the stage first "
                                        "(`usdcat --flatten in.usd -o out.usdc`)",
                                        where, arc));
}

// Variant selections by set name, each the strongest opinion among the specs added so far.
using Selections = std::unordered_map<std::string_view, std::string_view>;

void add_selections(Selections& selections, const UsdPrimFacts& facts) {
  for (const auto& [set, variant] : facts.variant_selections) selections.try_emplace(set, variant);
}

// Each spec followed by the variants that its variant sets select, in the order of its sets, and
// each variant by those of its own sets: depth first, on a stack rather than by recursion. A set's
// selection is the strongest among the specs added so far, else among the weaker specs still to
// come; an empty selection selects nothing.
std::vector<ComposedSpec> add_variants(UsdLayerView& layer, std::span<const UsdSpecId> specs,
                                       std::unordered_set<UsdSpecId>& used) {
  std::vector<ComposedSpec> named;
  Selections named_selections;
  bool has_variant_sets = false;
  for (const UsdSpecId id : specs) {
    named.push_back({id, layer.facts(id)});
    add_selections(named_selections, named.back().facts);
    has_variant_sets = has_variant_sets || !named.back().facts.variant_sets.empty();
  }
  if (!has_variant_sets) return named;
  std::vector<ComposedSpec> composed;
  Selections selections;
  const auto selected = [&](std::string_view set) -> std::optional<std::string_view> {
    const Selections& source = selections.contains(set) ? selections : named_selections;
    const auto it = source.find(set);
    if (it == source.end() || it->second.empty()) return std::nullopt;
    return it->second;
  };
  struct Open {
    std::size_t spec;  // in `composed`
    std::size_t next_set;
  };
  std::vector<Open> open;
  const auto add = [&](ComposedSpec spec) {
    add_selections(selections, spec.facts);
    composed.push_back(std::move(spec));
    open.push_back({composed.size() - 1, 0});
  };
  for (ComposedSpec& spec : named) {
    add(std::move(spec));
    while (!open.empty()) {
      Open& top = open.back();
      const ComposedSpec& owner = composed[top.spec];
      if (top.next_set == owner.facts.variant_sets.size()) {
        open.pop_back();
        continue;
      }
      const std::string_view set = owner.facts.variant_sets[top.next_set++];
      const std::optional<std::string_view> chosen = selected(set);
      if (!chosen) continue;
      const std::optional<UsdSpecId> variant = layer.variant(owner.id, set, *chosen);
      if (!variant || !used.insert(*variant).second) continue;
      add({*variant, layer.facts(*variant)});
    }
  }
  return composed;
}

// What a composed prim is: the strongest defining specifier (def or class; over only when no spec
// says either), the strongest type name and "active", and the first composition arc of any spec.
struct Opinions {
  UsdSpecifier specifier = UsdSpecifier::Over;
  std::string_view type_name;
  bool active = true;
  std::string_view arc;
};

Opinions strongest(const std::vector<ComposedSpec>& specs) {
  Opinions result;
  bool specifier_found = false, active_found = false;
  for (const ComposedSpec& spec : specs) {
    const UsdPrimFacts& facts = spec.facts;
    if (!specifier_found && facts.specifier && *facts.specifier != UsdSpecifier::Over) {
      result.specifier = *facts.specifier;
      specifier_found = true;
    }
    if (result.type_name.empty()) result.type_name = facts.type_name;
    if (!active_found && facts.active) {
      result.active = *facts.active;
      active_found = true;
    }
    if (result.arc.empty()) result.arc = facts.arc;
  }
  return result;
}

// Throws for a spec that has two children of one name, which no layer may hold. The names are
// sorted by their hashes, so that only names of equal hash are compared.
void refuse_twice_defined(std::span<const UsdChildSpec> children, const std::vector<VisitedName>& visited,
                          std::size_t parent) {
  std::vector<std::pair<std::size_t, std::string_view>> hashed;
  hashed.reserve(children.size());
  for (const UsdChildSpec& child : children) hashed.emplace_back(std::hash<std::string_view>()(child.name), child.name);
  std::sort(hashed.begin(), hashed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < hashed.size(); ++i) {
    for (std::size_t j = i + 1; j < hashed.size() && hashed[j].first == hashed[i].first; ++j) {
      if (hashed[j].second != hashed[i].second) continue;
      const std::string parent_path = parent == kNoParent ? "" : path_of(visited, parent);
      throw IoError::usd_parse(fmt::format("prim {}/{} is defined twice", parent_path, hashed[i].second));
    }
  }
}

// The children of a prim with one spec, the usual case: that prim spec's own, in its order.
void push_children_of_one_spec(UsdLayerView& layer, const ComposedSpec& spec, bool own_spec_first,
                               std::size_t parent, const std::vector<VisitedName>& visited, Pending& pending,
                               std::unordered_set<UsdSpecId>& used) {
  std::vector<UsdChildSpec> children = layer.children(spec.id);
  std::erase_if(children, [&](const UsdChildSpec& child) { return !used.insert(child.spec).second; });
  refuse_twice_defined(children, visited, parent);
  if (!spec.facts.child_order.empty()) {
    std::vector<std::string_view> names;
    std::unordered_map<std::string_view, UsdSpecId> spec_of;
    for (const UsdChildSpec& child : children) {
      names.push_back(child.name);
      spec_of.emplace(child.name, child.spec);
    }
    apply_child_order(names, spec.facts.child_order);
    for (std::size_t i = 0; i < names.size(); ++i) children[i] = {names[i], spec_of.at(names[i])};
  }
  for (auto child = children.rbegin(); child != children.rend(); ++child) {
    pending.prims.push_back({pending.specs.size(), 1, parent, child->name, own_spec_first});
    pending.specs.push_back(child->spec);
  }
}

// The children of a composed prim, pushed so that the first in namespace order is visited next.
// Names are gathered from the weakest spec to the strongest: each spec appends the names not yet
// seen, then reorders all names so far by its own "reorder nameChildren".
void push_children(UsdLayerView& layer, const std::vector<ComposedSpec>& specs, bool own_spec_first,
                   std::size_t parent, const std::vector<VisitedName>& visited, Pending& pending,
                   std::unordered_set<UsdSpecId>& used) {
  if (specs.size() == 1) {
    return push_children_of_one_spec(layer, specs[0], own_spec_first, parent, visited, pending, used);
  }
  struct Child {
    std::vector<UsdSpecId> specs;  // weakest first
    bool from_strongest = false;
  };
  std::unordered_map<std::string_view, Child> by_name;
  std::vector<std::string_view> names;
  for (std::size_t i = specs.size(); i-- > 0;) {
    std::vector<UsdChildSpec> children = layer.children(specs[i].id);
    std::erase_if(children, [&](const UsdChildSpec& child) { return !used.insert(child.spec).second; });
    refuse_twice_defined(children, visited, parent);
    for (const UsdChildSpec& child : children) {
      const auto [entry, fresh] = by_name.try_emplace(child.name);
      if (fresh) names.push_back(child.name);
      entry->second.specs.push_back(child.spec);
      entry->second.from_strongest = i == 0;
    }
    apply_child_order(names, specs[i].facts.child_order);
  }
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    const Child& child = by_name.at(*name);
    pending.prims.push_back(
        {pending.specs.size(), child.specs.size(), parent, *name, own_spec_first && child.from_strongest});
    pending.specs.insert(pending.specs.end(), child.specs.rbegin(), child.specs.rend());
  }
}

}  // namespace

std::vector<UsdSpecId> find_first_mesh(UsdLayerView& layer) {
  const std::optional<UsdSpecId> root = layer.pseudo_root();
  if (!root) return {};
  std::unordered_set<UsdSpecId> used{*root};
  const std::vector<ComposedSpec> root_specs{{*root, layer.facts(*root)}};
  if (!root_specs[0].facts.arc.empty()) throw refusal("the layer", root_specs[0].facts.arc);

  std::vector<VisitedName> visited;
  Pending pending;
  push_children(layer, root_specs, true, kNoParent, visited, pending, used);
  std::vector<UsdSpecId> named;
  while (!pending.prims.empty()) {
    const PendingPrim prim = pending.prims.back();
    pending.prims.pop_back();
    named.assign(pending.specs.begin() + static_cast<std::ptrdiff_t>(prim.first_spec), pending.specs.end());
    pending.specs.resize(prim.first_spec);
    const std::vector<ComposedSpec> specs = add_variants(layer, named, used);
    visited.push_back({prim.name, prim.parent});
    const std::size_t entry = visited.size() - 1;

    // The prim's own "active = false" or "class" outweighs every arc: the prim is skipped either way.
    const UsdPrimFacts& own = specs.front().facts;
    if (prim.own_spec_first && (own.active == false || own.specifier == UsdSpecifier::Class)) continue;
    const Opinions opinions = strongest(specs);
    if (!opinions.arc.empty()) throw refusal(fmt::format("prim {}", path_of(visited, entry)), opinions.arc);
    // Not defined, abstract or inactive: skipped with everything below it.
    if (opinions.specifier != UsdSpecifier::Def || !opinions.active) continue;
    if (opinions.type_name == "Mesh") {
      std::vector<UsdSpecId> ids;
      for (const ComposedSpec& spec : specs) ids.push_back(spec.id);
      return ids;
    }
    push_children(layer, specs, prim.own_spec_first, entry, visited, pending, used);
  }
  return {};
}

bool UsdListEdits::adds_items() const {
  return (explicit_items && !explicit_items->empty()) || !added.empty() || !prepended.empty() || !appended.empty();
}

std::vector<std::string_view> UsdListEdits::applied() const {
  if (explicit_items) return *explicit_items;
  std::unordered_set<std::string_view> seen(deleted.begin(), deleted.end());
  std::vector<std::string_view> result;
  for (const std::vector<std::string_view>* items : {&prepended, &added, &appended}) {
    for (const std::string_view item : *items) {
      if (seen.insert(item).second) result.push_back(item);
    }
  }
  return result;
}

void apply_child_order(std::vector<std::string_view>& names, std::span<const std::string_view> order) {
  if (order.empty() || names.empty()) return;
  std::unordered_map<std::string_view, std::size_t> rank;
  for (const std::string_view name : order) rank.try_emplace(name, rank.size() + 1);
  // groups[0] holds the children before the first named one; groups[r] the named child of rank r
  // and the unnamed children after it.
  std::vector<std::vector<std::string_view>> groups(rank.size() + 1);
  std::size_t current = 0;
  for (const std::string_view name : names) {
    if (const auto it = rank.find(name); it != rank.end()) current = it->second;
    groups[current].push_back(name);
  }
  names.clear();
  for (const std::vector<std::string_view>& group : groups) names.insert(names.end(), group.begin(), group.end());
}

}  // namespace morvane::io
