// The USDA layer parser reads one statement at a time on a stack of open blocks (the layer, prim
// bodies, variant sets, variant bodies), so that deep nesting costs no recursion. Values are
// skipped as groups and kept as text; only the metadata that decides the traversal is looked into.
#include "usda_layer.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>

#include "io_error.hpp"

namespace morvane::io {

namespace {

bool is_list_edit(const UsdaToken& token) {
  return token.is_word("prepend") || token.is_word("append") || token.is_word("add") || token.is_word("delete") ||
         token.is_word("reorder");
}

bool is_composition_arc(std::string_view key) {
  return key == "references" || key == "payload" || key == "inherits" || key == "specializes" ||
         key == "subLayers" || key == "relocates";
}

// A statement that edits a list ("prepend variantSets = ...") replaces the earlier statement of
// the same kind of edit, as the reference library's list ops do.
void set_edit(UsdListEdits& edits, std::string_view edit, std::vector<std::string_view> items) {
  if (edit.empty()) edits.explicit_items = std::move(items);
  if (edit == "add") edits.added = std::move(items);
  if (edit == "prepend") edits.prepended = std::move(items);
  if (edit == "append") edits.appended = std::move(items);
  if (edit == "delete") edits.deleted = std::move(items);
}

// The tokens between a group's brackets.
std::vector<UsdaToken> group_tokens(const UsdaToken& group) {
  UsdaScanner scanner(group.text.substr(1, group.text.size() - 2));
  std::vector<UsdaToken> tokens;
  for (UsdaToken token = scanner.next(); token.kind != UsdaTokenKind::End; token = scanner.next()) {
    tokens.push_back(token);
  }
  return tokens;
}

bool is_group(const UsdaToken& token, char opening) {
  return token.kind == UsdaTokenKind::Group && token.text.front() == opening;
}

// The strings of a value that is one string or a list of them.
std::vector<std::string_view> string_list(const UsdaToken& value) {
  std::vector<std::string_view> items;
  if (value.kind == UsdaTokenKind::String) items.push_back(string_contents(value));
  if (is_group(value, '[')) {
    for (const UsdaToken& token : group_tokens(value)) {
      if (token.kind == UsdaTokenKind::String) items.push_back(string_contents(token));
    }
  }
  return items;
}

// Whether a composition arc's value names anything: not None, not an empty list or dictionary.
bool names_anything(const UsdaToken& value) {
  if (value.is_word("None")) return false;
  return value.kind != UsdaTokenKind::Group || !group_tokens(value).empty();
}

// How messages name what is being read: "Mesh block" for a prim of that type (or a variant of
// it), "prim block" for one without a type, "layer" and "layer metadata" at the top level.
struct Place {
  bool layer = false;
  bool metadata = false;
  std::string_view type;
};

std::string describe(const Place& place) {
  if (place.layer) return place.metadata ? "layer metadata" : "layer";
  return fmt::format("{} block", place.type.empty() ? "prim" : place.type);
}

IoError malformed(const Place& place) { return IoError::usd_parse(fmt::format("malformed {}", describe(place))); }
IoError unclosed(const Place& place) { return IoError::usd_parse(fmt::format("unclosed {}", describe(place))); }
IoError too_deep(const Place& place) {
  return IoError::usd_parse(fmt::format("{} nested deeper than {} levels", describe(place), kMaxUsdaNesting));
}

}  // namespace

class UsdaLayer::Parser {
 public:
  Parser(std::string_view text, UsdaLayer& layer) : scanner_(text), layer_(layer) {}

  void run() {
    layer_.specs_.emplace_back();  // the pseudo-root
    blocks_.push_back({BlockKind::Layer, 0, {}, {}});
    if (scanner_.peek().is('(')) {
      scanner_.next();
      read_metadata(0, {true, true, {}});
    }
    while (!ended_) {
      if (blocks_.back().kind == BlockKind::VariantSet) {
        read_variant();
      } else {
        read_body_statement();
      }
    }
  }

 private:
  enum class BlockKind { Layer, Prim, VariantSet };

  struct Block {
    BlockKind kind;
    UsdSpecId spec;         // the prim or variant whose body it is; for a variant set, the prim
    std::string_view type;  // the prim's type name
    std::string_view set;   // a variant set's name
  };

  Place place() const { return {blocks_.back().kind == BlockKind::Layer, false, blocks_.back().type}; }

  // The nesting of the innermost open block; the layer is 0.
  std::size_t depth() const { return blocks_.size() - 1; }

  Spec& spec(UsdSpecId id) { return layer_.specs_[id]; }

  Lists& lists(UsdSpecId id) {
    if (spec(id).lists == kNone) {
      spec(id).lists = static_cast<uint32_t>(layer_.lists_.size());
      layer_.lists_.emplace_back();
    }
    return layer_.lists_[spec(id).lists];
  }

  UsdSpecId new_spec() {
    layer_.specs_.emplace_back();
    return static_cast<UsdSpecId>(layer_.specs_.size() - 1);
  }

  void add_child(UsdSpecId parent, std::string_view name, UsdSpecId child) {
    const auto link = static_cast<uint32_t>(layer_.children_.size());
    layer_.children_.push_back({{name, child}});
    Spec& owner = spec(parent);
    if (owner.last_child == kNone) {
      owner.first_child = link;
    } else {
      layer_.children_[owner.last_child].next = link;
    }
    owner.last_child = link;
  }

  void open_block(const Block& block) {
    if (blocks_.size() > kMaxUsdaNesting) throw too_deep({false, false, block.type});
    blocks_.push_back(block);
  }

  // A group in a block's body. One that the text does not close is an error inside a prim; at the
  // top level, outside every prim, it ends the layer.
  std::optional<UsdaToken> body_group(const UsdaToken& open) {
    const UsdaGroup group = scanner_.skip_group(open, depth() + 1);
    if (group.end == UsdaGroup::End::TooDeep) throw too_deep(place());
    if (group.end == UsdaGroup::End::Unclosed) {
      if (blocks_.back().kind != BlockKind::Layer) throw unclosed(place());
      ended_ = true;
      return std::nullopt;
    }
    return group.token;
  }

  // A group in metadata, which must close.
  UsdaToken metadata_group(const UsdaToken& open, std::size_t depth, const Place& place) {
    const UsdaGroup group = scanner_.skip_group(open, depth);
    if (group.end == UsdaGroup::End::TooDeep) throw too_deep(place);
    if (group.end == UsdaGroup::End::Unclosed) throw malformed(place);
    return group.token;
  }

  void read_body_statement() {
    const UsdaToken token = scanner_.next();
    if (token.kind == UsdaTokenKind::End) {
      if (blocks_.back().kind != BlockKind::Layer) throw unclosed(place());
      ended_ = true;
    } else if (token.is('}')) {
      if (blocks_.back().kind != BlockKind::Layer) blocks_.pop_back();
    } else if (token.is_word("def")) {
      read_prim(UsdSpecifier::Def);
    } else if (token.is_word("over")) {
      read_prim(UsdSpecifier::Over);
    } else if (token.is_word("class")) {
      read_prim(UsdSpecifier::Class);
    } else if (token.is_word("variantSet")) {
      read_variant_set();
    } else if (token.is_word("reorder") &&
               (scanner_.peek().is_word("nameChildren") || scanner_.peek().is_word("rootPrims"))) {
      scanner_.next();
      if (!scanner_.peek().is('=')) return;
      scanner_.next();
      const std::optional<UsdaToken> order = read_value();
      if (order) lists(blocks_.back().spec).child_order = string_list(*order);
    } else {
      read_statement(token);
    }
  }

  // `def`, `over` or `class`, then an optional type name, the prim's name in quotes, optional
  // metadata in parentheses and the body in braces.
  void read_prim(UsdSpecifier specifier) {
    UsdaToken token = scanner_.next();
    std::string_view type;
    if (token.kind == UsdaTokenKind::Word) {
      type = token.text;
      token = scanner_.next();
    }
    const Place prim{false, false, type};
    if (token.kind != UsdaTokenKind::String) throw malformed(prim);
    const UsdSpecId id = new_spec();
    spec(id).specifier = specifier;
    spec(id).type_name = type;
    add_child(blocks_.back().spec, string_contents(token), id);
    token = scanner_.next();
    if (token.is('(')) {
      read_metadata(id, prim);
      token = scanner_.next();
    }
    if (!token.is('{')) throw malformed(prim);
    open_block({BlockKind::Prim, id, type, {}});
  }

  // `variantSet "name" = {`, then the variants until the closing brace.
  void read_variant_set() {
    const Block prim = blocks_.back();
    const UsdaToken name = scanner_.next();
    if (name.kind != UsdaTokenKind::String || !scanner_.next().is('=') || !scanner_.next().is('{')) {
      throw malformed(place());
    }
    open_block({BlockKind::VariantSet, prim.spec, prim.type, string_contents(name)});
  }

  // One variant: its name in quotes, optional metadata, and its body, which holds opinions about
  // the prim as a prim body does.
  void read_variant() {
    const Block set = blocks_.back();
    const Place prim{false, false, set.type};
    UsdaToken token = scanner_.next();
    if (token.kind == UsdaTokenKind::End) throw unclosed(prim);
    if (token.is('}')) {
      blocks_.pop_back();
      return;
    }
    if (token.is(';')) return;
    if (token.kind != UsdaTokenKind::String) throw malformed(prim);
    const UsdSpecId id = new_spec();
    layer_.variants_.try_emplace({set.spec, set.set, string_contents(token)}, id);
    token = scanner_.next();
    if (token.is('(')) {
      read_metadata(id, prim);
      token = scanner_.next();
    }
    if (!token.is('{')) throw malformed(prim);
    open_block({BlockKind::Prim, id, set.type, {}});
  }

  // A value after "=" on the same line: a word, string, path or group. None when the line, the
  // block or the text ends first, or when an unclosed group ends the layer.
  std::optional<UsdaToken> read_value() {
    const UsdaToken ahead = scanner_.peek();
    if (ahead.kind == UsdaTokenKind::End || ahead.after_line_break || ahead.is('}') || ahead.is(';')) {
      return std::nullopt;
    }
    const UsdaToken token = scanner_.next();
    return token.opens_group() ? body_group(token) : token;
  }

  // A property or any other statement: words and groups up to "=", then the value and the
  // metadata in parentheses that may follow it; without "=", the statement ends with its line.
  // Only attributes' default values and time samples are kept: not relationships, connections or
  // list edits.
  void read_statement(UsdaToken token) {
    UsdaToken previous;
    bool relationship = false;
    const bool list_edit = is_list_edit(token);
    for (bool first = true;; first = false) {
      if (!first) {
        const UsdaToken ahead = scanner_.peek();
        if (ahead.kind == UsdaTokenKind::End || ahead.after_line_break || ahead.is('}')) return;
        token = scanner_.next();
      }
      if (token.is(';')) return;
      if (token.opens_group()) {
        const std::optional<UsdaToken> group = body_group(token);
        if (!group || token.is('(')) return;  // metadata ends a declaration
        previous = *group;
        continue;
      }
      if (token.is('=')) break;
      relationship = relationship || token.is_word("rel");
      previous = token;
    }
    const std::optional<UsdaToken> value = read_value();
    if (!value) return;
    if (previous.kind == UsdaTokenKind::Word && !relationship && !list_edit) add_value(previous.text, *value);
    const UsdaToken ahead = scanner_.peek();
    if (ahead.is('(') && !ahead.after_line_break) body_group(scanner_.next());
  }

  void add_value(std::string_view name, const UsdaToken& value) {
    const std::size_t dot = name.find('.');
    UsdaAttributeValue statement{name, false, value};
    if (dot != std::string_view::npos) {
      if (name.substr(dot + 1) != "timeSamples" || !is_group(value, '{')) return;
      statement = {name.substr(0, dot), true, value};
    }
    Spec& owner = spec(blocks_.back().spec);
    layer_.values_.push_back({statement, owner.last_value});
    owner.last_value = static_cast<uint32_t>(layer_.values_.size() - 1);
  }

  // Metadata in parentheses, after the opening one: "key = value" statements, each perhaps a
  // list edit ("prepend variantSets = ..."), and documentation strings. Unknown keys are skipped.
  void read_metadata(UsdSpecId id, const Place& place) {
    const std::size_t metadata_depth = depth() + 1;
    if (metadata_depth > kMaxUsdaNesting) throw too_deep(place);
    std::optional<UsdListEdits> variant_sets;
    std::vector<std::pair<std::string_view, UsdListEdits>> arcs;
    for (;;) {
      UsdaToken token = scanner_.next();
      if (token.kind == UsdaTokenKind::End) throw malformed(place);
      if (token.is(')')) break;
      if (token.opens_group()) {
        metadata_group(token, metadata_depth + 1, place);
        continue;
      }
      if (token.kind != UsdaTokenKind::Word) continue;
      std::string_view edit;
      if (is_list_edit(token) && scanner_.peek().kind == UsdaTokenKind::Word) {
        edit = token.text;
        token = scanner_.next();
      }
      if (!scanner_.peek().is('=')) continue;
      scanner_.next();
      const UsdaToken ahead = scanner_.peek();
      if (ahead.kind == UsdaTokenKind::End || ahead.after_line_break || ahead.is(')')) continue;
      UsdaToken value = scanner_.next();
      if (value.opens_group()) value = metadata_group(value, metadata_depth + 1, place);

      const std::string_view key = token.text;
      if (key == "active" && edit.empty() && value.kind == UsdaTokenKind::Word) {
        if (value.text == "true" || value.text == "1") spec(id).active = true;
        if (value.text == "false" || value.text == "0") spec(id).active = false;
      } else if (key == "variants" && edit.empty() && is_group(value, '{')) {
        add_selections(lists(id).variant_selections, value);
      } else if (key == "variantSets") {
        if (!variant_sets) variant_sets.emplace();
        set_edit(*variant_sets, edit, string_list(value));
      } else if (is_composition_arc(key)) {
        auto arc = std::find_if(arcs.begin(), arcs.end(), [&](const auto& a) { return a.first == key; });
        if (arc == arcs.end()) arc = arcs.insert(arcs.end(), {key, UsdListEdits{}});
        set_edit(arc->second, edit,
                 names_anything(value) ? std::vector<std::string_view>{value.text} : std::vector<std::string_view>{});
      }
    }
    if (variant_sets) lists(id).variant_sets = variant_sets->applied();
    for (const auto& [key, edits] : arcs) {
      if (edits.adds_items() && spec(id).arc.empty()) spec(id).arc = key;
    }
  }

  // "variants = { string set = "variant" ... }": a later selection of a set replaces an earlier.
  static void add_selections(std::vector<std::pair<std::string_view, std::string_view>>& selections,
                             const UsdaToken& group) {
    std::unordered_map<std::string_view, std::size_t> position;
    for (std::size_t i = 0; i < selections.size(); ++i) position.emplace(selections[i].first, i);
    const std::vector<UsdaToken> tokens = group_tokens(group);
    for (std::size_t i = 1; i + 1 < tokens.size(); ++i) {
      if (!tokens[i].is('=') || tokens[i + 1].kind != UsdaTokenKind::String) continue;
      const UsdaToken& set = tokens[i - 1];
      if (set.kind != UsdaTokenKind::Word && set.kind != UsdaTokenKind::String) continue;
      const std::string_view set_name = set.kind == UsdaTokenKind::String ? string_contents(set) : set.text;
      const std::string_view variant = string_contents(tokens[i + 1]);
      const auto [known, fresh] = position.try_emplace(set_name, selections.size());
      if (fresh) {
        selections.emplace_back(set_name, variant);
      } else {
        selections[known->second].second = variant;
      }
    }
  }

  UsdaScanner scanner_;
  UsdaLayer& layer_;
  std::vector<Block> blocks_;
  bool ended_ = false;
};

std::size_t UsdaLayer::VariantKeyHash::operator()(const VariantKey& key) const {
  const std::hash<std::string_view> hash;
  return std::hash<UsdSpecId>()(key.spec) ^ (hash(key.set) * 31) ^ (hash(key.name) * 1000003);
}

UsdaLayer::UsdaLayer(std::string_view text) { Parser(text, *this).run(); }

UsdPrimFacts UsdaLayer::facts(UsdSpecId id) {
  const Spec& spec = specs_[id];
  UsdPrimFacts facts;
  facts.specifier = spec.specifier;
  facts.type_name = spec.type_name;
  facts.active = spec.active;
  facts.arc = spec.arc;
  if (spec.lists != kNone) {
    const Lists& lists = lists_[spec.lists];
    facts.child_order = lists.child_order;
    facts.variant_selections = lists.variant_selections;
    facts.variant_sets = lists.variant_sets;
  }
  return facts;
}

std::vector<UsdChildSpec> UsdaLayer::children(UsdSpecId id) {
  std::vector<UsdChildSpec> children;
  for (uint32_t link = specs_[id].first_child; link != kNone; link = children_[link].next) {
    children.push_back(children_[link].child);
  }
  return children;
}

std::optional<UsdSpecId> UsdaLayer::variant(UsdSpecId spec, std::string_view set, std::string_view name) {
  const auto it = variants_.find({spec, set, name});
  return it == variants_.end() ? std::nullopt : std::optional(it->second);
}

const UsdaToken* UsdaLayer::attribute_value(UsdSpecId spec, std::string_view name, bool time_samples) const {
  for (uint32_t link = specs_[spec].last_value; link != kNone; link = values_[link].previous) {
    const UsdaAttributeValue& value = values_[link].value;
    if (value.time_samples == time_samples && value.name == name) return &value.value;
  }
  return nullptr;
}

}  // namespace morvane::io
