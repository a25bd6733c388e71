// Number formatting shared by progress lines and file writers. Never uses the C locale, which a
// host program may have changed.
#pragma once

#include <string>
#include <string_view>

namespace morvane {

// Fixed-point with `digits` decimals, correctly rounded (ties to even, as the exact binary value
// dictates); NaN is written "NaN", infinities "inf" and "-inf"; negative zero keeps its sign.
void append_fixed(std::string& out, double value, int digits);
std::string fixed(double value, int digits);

// Fixed-point like append_fixed, with the fewest decimals from `min_digits` on that make the text
// read back as the float nearest `value`, whether parsed as a float or as a double then rounded to
// float: values that need no more than `min_digits` are written exactly as append_fixed writes
// them. A value whose nearest float is not finite is written with `min_digits`.
void append_fixed_float(std::string& out, double value, int min_digits);

// Shortest decimal text that reads back to the same float, never in exponent form and without
// a trailing ".0" (1.0f -> "1", FLT_MAX -> "34028235" and 31 zeros, -0.0f -> "-0").
std::string shortest_plain(float value);

// Appends the unsigned decimal text of `value`.
void append_decimal(std::string& out, unsigned long long value);

}  // namespace morvane
