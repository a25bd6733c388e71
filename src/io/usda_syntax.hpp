// The tokens of the USDA text format, as far as the layer parser reads them: words (keywords, type
// names, property names with their namespaces and suffixes, numbers), quoted strings, asset paths,
// path references and single punctuation characters. White space and comments ("#" and "//" to the
// end of the line, "/* */") separate tokens; each token notes whether a line break came before it,
// since a line break ends a statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane::io {

// Braces, brackets and parentheses may nest this deep; deeper text is refused rather than followed.
inline constexpr std::size_t kMaxUsdaNesting = 1000;

enum class UsdaTokenKind : uint8_t { End, Word, String, AssetPath, PathRef, Punct, Group };

struct UsdaToken {
  UsdaTokenKind kind = UsdaTokenKind::End;
  std::string_view text;  // the whole token: quotes, and a group's brackets, included
  bool after_line_break = false;

  bool is(char c) const { return kind == UsdaTokenKind::Punct && text.front() == c; }
  bool is_word(std::string_view word) const { return kind == UsdaTokenKind::Word && text == word; }
  bool opens_group() const { return is('(') || is('[') || is('{'); }
};

struct UsdaGroup {
  enum class End : uint8_t { Closed, Unclosed, TooDeep };
  End end = End::Closed;
  UsdaToken token;
};

// What a string token says, without its quotes (escapes are kept as written).
std::string_view string_contents(const UsdaToken& token);

// Replaces every comment of the text ("#" or "//" to the end of its line, "/*" to "*/") with
// blanks, so that values kept as text read as if their comments were white space. A line break
// inside a "/* */" comment is blanked too, since it ends no statement. Strings, asset paths and path
// references are kept as written, with any "#" or "/" they hold.
void blank_comments(std::string& text);

class UsdaScanner {
 public:
  explicit UsdaScanner(std::string_view text) : text_(text) {}

  UsdaToken next();
  UsdaToken peek();

  // After a token that opens a group ("(", "[" or "{"), moves past the bracket that closes it and
  // returns the whole group as a Group token. Only brackets of the group's own kind are counted,
  // outside strings, asset paths, path references and comments. The group opens at nesting
  // `depth`; one that would go deeper than kMaxUsdaNesting, or that the text does not close, is
  // not skipped and gives its reason instead.
  UsdaGroup skip_group(const UsdaToken& open, std::size_t depth);

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace morvane::io
