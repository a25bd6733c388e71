// Quoting of user text inside error messages, so that blanks, control characters and combining
// marks stay visible: "ultra", "fast\t", "\u{301}".
#pragma once

#include <string>
#include <string_view>

namespace morvane::py {

// `text` (UTF-8) between double quotes; a backslash goes before '"' and '\', tab, carriage return,
// line feed and NUL become \t \r \n \0, unprintable characters and grapheme extenders become
// \u{hex} (lower case, no leading zeros); everything else, the single quote included, is kept.
std::string debug_quoted(std::string_view text);

// True for the code points written as \u{hex} (generated tables in unicode_escapes.cpp).
bool needs_unicode_escape(char32_t c);

}  // namespace morvane::py
