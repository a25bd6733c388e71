#include "text_format.hpp"

#include <charconv>
#include <cmath>

namespace morvane {

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
