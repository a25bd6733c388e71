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

// Shortest decimal text that reads back to the same float, never in exponent form and without
// a trailing ".0" (1.0f -> "1", FLT_MAX -> "34028235" and 31 zeros, -0.0f -> "-0").
std::string shortest_plain(float value);

// Appends the unsigned decimal text of `value`.
void append_decimal(std::string& out, unsigned long long value);

}  // namespace morvane
