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
  if (value.kind == UsdaTokenKind::End || value.is_word("None")) return false;
  return value.kind != UsdaTokenKind::Group || !group_tokens(value).empty();
}

IoError malformed(std::string_view block) { return IoError::usd_parse(fmt::format("malformed {}", block)); }
IoError unclosed(std::string_view block) { return IoError::usd_parse(fmt::format("unclosed {}", block)); }

std::string block_name(std::string_view type) { return fmt::format("{} block", type.empty() ? "prim" : type); }

}  // namespace

class UsdaLayer::Parser {
 public:
  Parser(std::string_view text, std::vector<Spec>& specs, VariantIndex& variants)
      : scanner_(text), specs_(specs), variants_(variants) {}

  void run() {
    specs_.emplace_back();  // the pseudo-root
    blocks_.push_back({BlockKind::Layer, 0, {}, {}, "layer"});
    if (scanner_.peek().is('(')) {
      scanner_.next();
      read_metadata(0, "layer metadata");
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
    UsdSpecId spec;          // the prim or variant whose body it is; for a variant set, the prim
    std::string_view type;   // the prim's type name
    std::string_view set;    // a variant set's name
    std::string name;        // for messages: "Mesh block", "prim block", "layer"
  };

  // The nesting of the innermost open block; the layer is 0.
  std::size_t depth() const { return blocks_.size() - 1; }

  UsdSpecId new_spec() {
    specs_.emplace_back();
    return static_cast<UsdSpecId>(specs_.size() - 1);
  }

  void open_block(Block block) {
    if (blocks_.size() > kMaxUsdaNesting) {
      throw IoError::usd_parse(fmt::format("{} nested deeper than {} levels", block.name, kMaxUsdaNesting));
    }
    blocks_.push_back(std::move(block));
  }

  // A group in a block's body. One that the text does not close is an error inside a prim; at the
  // top level, outside every prim, it ends the layer.
  std::optional<UsdaToken> body_group(const UsdaToken& open) {
    const std::optional<UsdaToken> group = scanner_.skip_group(open, depth() + 1, blocks_.back().name);
    if (!group) {
      if (blocks_.back().kind != BlockKind::Layer) throw unclosed(blocks_.back().name);
      ended_ = true;
    }
    return group;
  }

  void read_body_statement() {
    const UsdaToken token = scanner_.next();
    if (token.kind == UsdaTokenKind::End) {
      if (blocks_.back().kind != BlockKind::Layer) throw unclosed(blocks_.back().name);
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
      if (order) specs_[blocks_.back().spec].facts.child_order = string_list(*order);
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
    std::string name = block_name(type);
    if (token.kind != UsdaTokenKind::String) throw malformed(name);
    const UsdSpecId spec = new_spec();
    specs_[spec].facts.specifier = specifier;
    specs_[spec].facts.type_name = type;
    specs_[blocks_.back().spec].children.push_back({string_contents(token), spec});
    token = scanner_.next();
    if (token.is('(')) {
      read_metadata(spec, name);
      token = scanner_.next();
    }
    if (!token.is('{')) throw malformed(name);
    open_block({BlockKind::Prim, spec, type, {}, std::move(name)});
  }

  // `variantSet "name" = {`, then the variants until the closing brace.
  void read_variant_set() {
    const Block& prim = blocks_.back();
    const UsdaToken name = scanner_.next();
    if (name.kind != UsdaTokenKind::String || !scanner_.next().is('=') || !scanner_.next().is('{')) {
      throw malformed(prim.name);
    }
    open_block({BlockKind::VariantSet, prim.spec, prim.type, string_contents(name), prim.name});
  }

  // One variant: its name in quotes, optional metadata, and its body, which holds opinions about
  // the prim as a prim body does.
  void read_variant() {
    const Block& set = blocks_.back();
    UsdaToken token = scanner_.next();
    if (token.kind == UsdaTokenKind::End) throw unclosed(set.name);
    if (token.is('}')) {
      blocks_.pop_back();
      return;
    }
    if (token.is(';')) return;
    if (token.kind != UsdaTokenKind::String) throw malformed(set.name);
    const UsdSpecId spec = new_spec();
    variants_.try_emplace({set.spec, set.set, string_contents(token)}, spec);
    token = scanner_.next();
    if (token.is('(')) {
      read_metadata(spec, set.name);
      token = scanner_.next();
    }
    if (!token.is('{')) throw malformed(set.name);
    open_block({BlockKind::Prim, spec, set.type, {}, set.name});
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
    std::vector<UsdaAttributeValue>& values = specs_[blocks_.back().spec].values;
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) {
      values.push_back({name, false, value});
    } else if (name.substr(dot + 1) == "timeSamples" && is_group(value, '{')) {
      values.push_back({name.substr(0, dot), true, value});
    }
  }

  // Metadata in parentheses, after the opening one: "key = value" statements, each perhaps a
  // list edit ("prepend variantSets = ..."), and documentation strings. Unknown keys are skipped.
  void read_metadata(UsdSpecId spec, std::string_view block) {
    const std::size_t metadata_depth = depth() + 1;
    if (metadata_depth > kMaxUsdaNesting) {
      throw IoError::usd_parse(fmt::format("{} nested deeper than {} levels", block, kMaxUsdaNesting));
    }
    UsdPrimFacts& facts = specs_[spec].facts;
    std::optional<UsdListEdits> variant_sets;
    std::vector<std::pair<std::string_view, UsdListEdits>> arcs;
    for (;;) {
      UsdaToken token = scanner_.next();
      if (token.kind == UsdaTokenKind::End) throw malformed(block);
      if (token.is(')')) break;
      if (token.opens_group()) {
        if (!scanner_.skip_group(token, metadata_depth + 1, block)) throw malformed(block);
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
      if (value.opens_group()) {
        const std::optional<UsdaToken> group = scanner_.skip_group(value, metadata_depth + 1, block);
        if (!group) throw malformed(block);
        value = *group;
      }

      const std::string_view key = token.text;
      if (key == "active" && edit.empty() && value.kind == UsdaTokenKind::Word) {
        if (value.text == "true" || value.text == "1") facts.active = true;
        if (value.text == "false" || value.text == "0") facts.active = false;
      } else if (key == "variants" && edit.empty() && is_group(value, '{')) {
        add_selections(facts, value);
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
    if (variant_sets) facts.variant_sets = variant_sets->applied();
    for (const auto& [key, edits] : arcs) {
      if (edits.adds_items() && facts.arc.empty()) facts.arc = key;
    }
  }

  // "variants = { string set = "variant" ... }": a later selection of a set replaces an earlier.
  static void add_selections(UsdPrimFacts& facts, const UsdaToken& group) {
    auto& selections = facts.variant_selections;
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
  std::vector<Spec>& specs_;
  VariantIndex& variants_;
  std::vector<Block> blocks_;
  bool ended_ = false;
};

std::size_t UsdaLayer::VariantKeyHash::operator()(const VariantKey& key) const {
  const std::hash<std::string_view> hash;
  return std::hash<UsdSpecId>()(key.spec) ^ (hash(key.set) * 31) ^ (hash(key.name) * 1000003);
}

UsdaLayer::UsdaLayer(std::string_view text) { Parser(text, specs_, variants_).run(); }

std::optional<UsdSpecId> UsdaLayer::variant(UsdSpecId spec, std::string_view set, std::string_view name) {
  const auto it = variants_.find({spec, set, name});
  return it == variants_.end() ? std::nullopt : std::optional(it->second);
}

const UsdaToken* UsdaLayer::attribute_value(UsdSpecId spec, std::string_view name, bool time_samples) const {
  const std::vector<UsdaAttributeValue>& values = specs_[spec].values;
  for (auto value = values.rbegin(); value != values.rend(); ++value) {
    if (value->time_samples == time_samples && value->name == name) return &value->value;
  }
  return nullptr;
}

}  // namespace morvane::io
