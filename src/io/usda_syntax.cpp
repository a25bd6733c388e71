// The USDA scanner. Groups (arrays, tuples, dictionaries, metadata) are skipped with one table
// lookup per byte, so that the long arrays of a mesh cost one pass before their values are parsed.
#include "usda_syntax.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace morvane::io {

namespace {

bool is_word_char(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':' ||
         c == '.' || c == '-' || c == '+' || u >= 0x80;
}

// The end of the comment that starts at `p` ("#" or "//" to the end of the line, "/*" to the next
// "*/" or the end of the text), or `p` itself when none starts there.
std::size_t skip_comment(std::string_view text, std::size_t p) {
  const char c = text[p];
  const char second = p + 1 < text.size() ? text[p + 1] : '\0';
  if (c == '#' || (c == '/' && second == '/')) return std::min(text.find('\n', p), text.size());
  if (c == '/' && second == '*') {
    const std::size_t close = text.find("*/", p + 2);
    return close == std::string_view::npos ? text.size() : close + 2;
  }
  return p;
}

// The end of the string, asset path, path reference or comment that starts at `p` (strings in
// single, double or triple quotes with backslash escapes; asset paths between @ or @@@; path
// references between < and >), or `p` itself when none starts there. One that is not closed ends
// with its line (strings in single quotes, path references) or with the text.
std::size_t skip_literal(std::string_view text, std::size_t p) {
  const char c = text[p];
  if (const std::size_t end = skip_comment(text, p); end != p) return end;
  if (c == '<') {
    const std::size_t end = text.find_first_of(">\n", p + 1);
    return end == std::string_view::npos ? text.size() : end + (text[end] == '>');
  }
  if (c != '"' && c != '\'' && c != '@') return p;
  const std::string_view triple = text.substr(p, 3);
  const bool long_form = triple.size() == 3 && triple[1] == c && triple[2] == c;
  for (std::size_t i = p + (long_form ? 3 : 1); i < text.size(); ++i) {
    if (text[i] == '\\' && c != '@') {
      ++i;
    } else if (long_form ? text.substr(i, 3) == triple : text[i] == c) {
      return i + (long_form ? 3 : 1);
    } else if (!long_form && text[i] == '\n') {
      return i;
    }
  }
  return text.size();
}

// The bytes at which a scan must look: what starts a literal, and for the end of a group, the
// group's own brackets.
using StopTable = std::array<bool, 256>;

constexpr const char* kLiteralStartChars = "\"'@#/<";

constexpr StopTable literal_starts() {
  StopTable stops{};
  for (const char c : std::string_view(kLiteralStartChars)) stops[static_cast<unsigned char>(c)] = true;
  return stops;
}

constexpr StopTable stop_table(char opening, char closing) {
  StopTable stops = literal_starts();
  stops[static_cast<unsigned char>(opening)] = stops[static_cast<unsigned char>(closing)] = true;
  return stops;
}

constexpr StopTable kLiteralStarts = literal_starts();
constexpr StopTable kParenStops = stop_table('(', ')');
constexpr StopTable kBracketStops = stop_table('[', ']');
constexpr StopTable kBraceStops = stop_table('{', '}');

}  // namespace

std::string_view string_contents(const UsdaToken& token) {
  const std::string_view text = token.text;
  const std::size_t quotes = text.size() >= 6 && text[1] == text[0] && text[2] == text[0] ? 3 : 1;
  if (text.size() < 2 * quotes || text.substr(text.size() - quotes) != text.substr(0, quotes)) {
    return text.substr(std::min(quotes, text.size()));  // not closed
  }
  return text.substr(quotes, text.size() - 2 * quotes);
}

void blank_comments(std::string& text) {
  const std::string_view view(text);
  for (std::size_t p = 0; p < view.size();) {
    if (!kLiteralStarts[static_cast<unsigned char>(view[p])]) {
      // The text is NUL-terminated; strcspn passes over long runs fast and stops at a NUL within.
      p += std::max<std::size_t>(std::strcspn(text.c_str() + p, kLiteralStartChars), 1);
    } else if (const std::size_t end = skip_comment(view, p); end != p) {
      std::fill(text.begin() + static_cast<std::ptrdiff_t>(p), text.begin() + static_cast<std::ptrdiff_t>(end), ' ');
      p = end;
    } else {
      p = std::max(skip_literal(view, p), p + 1);
    }
  }
}

UsdaToken UsdaScanner::next() {
  bool line_break = false;
  while (position_ < text_.size()) {
    const char c = text_[position_];
    if (c == '\n') {
      line_break = true;
      ++position_;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
      ++position_;
    } else if (const std::size_t end = skip_comment(text_, position_); end != position_) {
      position_ = end;
    } else {
      break;
    }
  }
  if (position_ == text_.size()) return {UsdaTokenKind::End, {}, line_break};
  const std::size_t start = position_;
  const char c = text_[start];
  UsdaTokenKind kind = UsdaTokenKind::Punct;
  if (const std::size_t end = skip_literal(text_, start); end != start) {
    kind = c == '@' ? UsdaTokenKind::AssetPath : c == '<' ? UsdaTokenKind::PathRef : UsdaTokenKind::String;
    position_ = end;
  } else if (is_word_char(c)) {
    kind = UsdaTokenKind::Word;
    while (position_ < text_.size() && is_word_char(text_[position_])) ++position_;
  } else {
    ++position_;
  }
  return {kind, text_.substr(start, position_ - start), line_break};
}

UsdaToken UsdaScanner::peek() {
  const std::size_t saved = position_;
  const UsdaToken token = next();
  position_ = saved;
  return token;
}

UsdaGroup UsdaScanner::skip_group(const UsdaToken& open, std::size_t depth) {
  const char opening = open.text.front();
  const char closing = opening == '(' ? ')' : opening == '[' ? ']' : '}';
  const StopTable& stops = opening == '(' ? kParenStops : opening == '[' ? kBracketStops : kBraceStops;
  const std::size_t start = static_cast<std::size_t>(open.text.data() - text_.data());
  std::size_t nesting = 0;
  for (std::size_t p = start; p < text_.size();) {
    if (!stops[static_cast<unsigned char>(text_[p])]) {
      ++p;
      continue;
    }
    if (const std::size_t end = skip_literal(text_, p); end != p) {
      p = end;
      continue;
    }
    if (text_[p] == opening && depth + nesting++ > kMaxUsdaNesting) return {UsdaGroup::End::TooDeep, {}};
    if (text_[p] == closing && --nesting == 0) {
      position_ = p + 1;
      return {UsdaGroup::End::Closed,
              {UsdaTokenKind::Group, text_.substr(start, position_ - start), open.after_line_break}};
    }
    ++p;
  }
  return {UsdaGroup::End::Unclosed, {}};
}

}  // namespace morvane::io
