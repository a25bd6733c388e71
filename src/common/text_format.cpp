#include "text_format.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "numeric.hpp"

namespace morvane {

namespace {

// The powers of ten that a double holds exactly.
constexpr std::array<double, 23> kExactPowersOfTen = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Decimals of the exact expansion of any double whose nearest float is finite and not zero: such
// a double exceeds 2^-150 in magnitude, so its lowest bit is worth at least 2^-202.
constexpr int kExactFloatDecimals = 202;

// The reals that round to a finite float lie between the midpoints to its two neighbours, which
// doubles hold exactly; a midpoint itself rounds to the neighbour with the even last bit.
struct RoundingInterval {
  double low;
  double high;
};

RoundingInterval rounding_interval(float nearest) {
  if (nearest == 0) return {-0x1p-150, 0x1p-150};
  // The neighbours in magnitude are the next bit patterns down and up.
  const uint32_t bits = std::bit_cast<uint32_t>(std::fabs(nearest));
  const double centre = std::fabs(nearest);
  const double smaller = std::bit_cast<float>(bits - 1);
  const double larger = std::bit_cast<float>(bits + 1);
  // Beyond the largest float, the next one would lie as far off as the one below.
  const double low = (centre + smaller) / 2;
  const double high = std::isinf(larger) ? centre + (centre - smaller) / 2 : (centre + larger) / 2;
  return nearest > 0 ? RoundingInterval{low, high} : RoundingInterval{-high, -low};
}

enum class Fit { Inside, Outside, Unsure };

// `value` with some number of decimals, as far as double arithmetic can tell: the text surely
// reads back inside the interval (with room left for rounding it to a double), surely does not,
// or neither is certain. When inside, `digits` is the written integer, value * 10^decimals
// rounded, where doubles hold it exactly.
struct DecimalFit {
  Fit fit;
  std::optional<uint64_t> digits = std::nullopt;
};

// The products below are off by at most 2^-53 of their size, and every bound is widened by far more.
DecimalFit decimal_fit(double value, int decimals, const RoundingInterval& interval) {
  const double scale = kExactPowersOfTen[static_cast<std::size_t>(decimals)];
  const double scaled = value * scale;
  const double magnitude = std::fabs(scaled);
  if (!(magnitude < 0x1p44)) {
    // Here the products' errors approach a unit. But the text lies within half a unit in its last
    // decimal of the value, and its rounding to a double within 2^-52 of the value's size: it is
    // inside when the value lies farther than both from the interval's ends (differences that
    // doubles hold exactly, the value being that close to them).
    const double room = std::min(value - interval.low, interval.high - value);
    return {room > 1 / scale + std::fabs(value) * 0x1p-50 ? Fit::Inside : Fit::Unsure};
  }
  const double nearest = std::rint(scaled);
  // Near a tie, the integer on the tie's other side may be the one written.
  const double either_side = std::fabs(scaled - nearest) > 0.5 - magnitude * 0x1p-48 ? 1 : 0;
  const double first = nearest - either_side;
  const double last = nearest + either_side;
  const double low = interval.low * scale;
  const double high = interval.high * scale;
  const double slack = (magnitude + std::fabs(low) + std::fabs(high)) * 0x1p-48;
  if (last < low - slack || first > high + slack) return {Fit::Outside};
  if (first == last && first > low + slack && first < high - slack) {
    return {Fit::Inside, static_cast<uint64_t>(std::fabs(nearest))};
  }
  return {Fit::Unsure};
}

// The text to_chars gives for a value whose rounding to `decimals` decimals is known: its sign
// (kept for a value that rounds to zero), then `digits` with the point placed `decimals` from the right.
void append_scaled_integer(std::string& out, bool negative, uint64_t digits, int decimals) {
  char buf[24];
  const std::size_t count = static_cast<std::size_t>(std::to_chars(buf, buf + sizeof buf, digits).ptr - buf);
  const std::size_t fraction = static_cast<std::size_t>(decimals);
  if (negative) out += '-';
  if (count > fraction) {
    out.append(buf, count - fraction);
  } else {
    out += '0';
  }
  if (fraction == 0) return;
  out += '.';
  if (count < fraction) out.append(fraction - count, '0');
  out.append(buf + count - std::min(count, fraction), std::min(count, fraction));
}

bool same_float(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

// Parsed both ways a reader may take it, the text gives `expected`.
bool reads_back_as(const char* begin, const char* end, float expected) {
  float as_float = std::numeric_limits<float>::quiet_NaN();  // kept when out of range
  double as_double = std::numeric_limits<double>::quiet_NaN();
  std::from_chars(begin, end, as_float, std::chars_format::fixed);
  std::from_chars(begin, end, as_double, std::chars_format::fixed);
  return same_float(as_float, expected) && same_float(narrow_to_float(as_double), expected);
}

}  // namespace

void append_fixed(std::string& out, double value, int digits) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buf[512];  // a fixed double needs at most 309 integer digits plus the decimals
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, digits);
  out.append(buf, r.ptr);
}

std::string fixed(double value, int digits) {
  std::string s;
  append_fixed(s, value, digits);
  return s;
}

void append_fixed_float(std::string& out, double value, int min_digits) {
  const float nearest = narrow_to_float(value);
  if (!std::isfinite(nearest) || value == 0) {
    append_fixed(out, value, min_digits);
    return;
  }
  const RoundingInterval interval = rounding_interval(nearest);
  char buf[512];  // up to 39 integer digits and the exact expansion's decimals
  for (int decimals = min_digits; decimals < kExactFloatDecimals; ++decimals) {
    // Most decimals are settled by arithmetic; only the unsure ones are parsed.
    const DecimalFit fit = decimals < static_cast<int>(kExactPowersOfTen.size())
                               ? decimal_fit(value, decimals, interval)
                               : DecimalFit{Fit::Unsure};
    if (fit.fit == Fit::Outside) continue;
    if (fit.digits) {
      append_scaled_integer(out, value < 0, *fit.digits, decimals);
      return;
    }
    const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (fit.fit == Fit::Inside || reads_back_as(buf, r.ptr, nearest)) {
      out.append(buf, r.ptr);
      return;
    }
  }
  append_fixed(out, value, std::max(min_digits, kExactFloatDecimals));  // the exact value reads back
}

std::string shortest_plain(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Shortest digits come from the scientific form; the point is then placed by hand, because
  // the fixed form of to_chars prints the exact expansion of large values instead.
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e = s.find('e');
  std::string_view exp_text = s.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const bool negative = s.front() == '-';
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i) {
    if (s[i] != '.') digits += s[i];
  }
  const int point = exponent + 1;
  std::string out = negative ? "-" : "";
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= static_cast<int>(digits.size())) {
    out += digits;
    out.append(static_cast<std::size_t>(point) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

void append_decimal(std::string& out, unsigned long long value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

}  // namespace morvane
