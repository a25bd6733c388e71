// Double-quoted, escaped form of a text for error messages.
#include "debug_quote.hpp"

#include <fmt/format.h>

namespace morvane::py {

namespace {

// Decodes one UTF-8 sequence at `text[i]` and advances `i`; a malformed byte reads as U+FFFD.
char32_t next_code_point(std::string_view text, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6   ? 2
                             : (lead >> 4) == 0xE   ? 3
                             : (lead >> 3) == 0x1E  ? 4
                                                    : 0;
  if (length == 0 || i + length > text.size()) {
    ++i;
    return 0xFFFD;
  }
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[i + k]);
    if ((byte & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    c = (c << 6) | (byte & 0x3F);
  }
  i += length;
  return c;
}

}  // namespace

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const char32_t c = next_code_point(text, i);
    switch (c) {
      case U'\0': out += "\\0"; break;
      case U'\t': out += "\\t"; break;
      case U'\r': out += "\\r"; break;
      case U'\n': out += "\\n"; break;
      case U'\\': out += "\\\\"; break;
      case U'"': out += "\\\""; break;
      default:
        if (needs_unicode_escape(c)) {
          out += fmt::format("\\u{{{:x}}}", static_cast<uint32_t>(c));
        } else if (c == 0xFFFD && text.substr(start, i - start) != "\xEF\xBF\xBD") {
          out += "\xEF\xBF\xBD";
        } else {
          out += text.substr(start, i - start);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace morvane::py
