// UTF-8 text: strict validation (path extensions, USD text layers), lossy decoding of crate tokens
// (each maximal invalid subsequence becomes U+FFFD), and trimming of Unicode white space.
#pragma once

#include <string>
#include <string_view>

namespace morvane::io {

// Rejects overlong forms, surrogates and values beyond U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Valid sequences are kept; every maximal invalid subpart is replaced by U+FFFD (EF BF BD).
std::string utf8_lossy(std::string_view bytes);

// Removes characters with the Unicode White_Space property from both ends.
std::string_view trim_unicode_space(std::string_view text);

}  // namespace morvane::io
