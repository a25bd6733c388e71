// Numbers in the text formats, parsed exactly and without the C locale, which a host program may
// have changed: the whole text must be the number, or it does not parse.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace morvane::io {

// An optional "+" or "-", then digits with an optional fraction and exponent ("1", "1.", ".5",
// "-2.5e-3"), or inf, infinity or nan in any letter case. Correctly rounded; a value beyond the
// type's range becomes an infinity, one below its smallest subnormal a zero of its sign.
std::optional<float> parse_decimal_float(std::string_view text);
std::optional<double> parse_decimal_double(std::string_view text);

// An optional "+" or "-" and one or more decimal digits, within the signed 64-bit range.
std::optional<int64_t> parse_decimal_int64(std::string_view text);

}  // namespace morvane::io
