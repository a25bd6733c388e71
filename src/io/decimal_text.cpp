#include "decimal_text.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace morvane::io {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  return std::equal(text.begin(), text.end(), lower.begin(), lower.end(), [](char c, char l) {
    return (c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) == l;
  });
}

// Whether a number that from_chars found out of range lies above the range rather than below:
// then the decimal exponent of its leading nonzero digit is positive. `number` has the form that
// from_chars accepted: digits, an optional point and an optional exponent.
bool exceeds_range(std::string_view number) {
  int64_t integer_digits = 0;  // counted from the first nonzero digit
  int64_t leading_zeros = 0;   // after the point, before the first nonzero digit
  bool nonzero = false, fraction = false;
  std::size_t i = 0;
  for (; i < number.size() && number[i] != 'e' && number[i] != 'E'; ++i) {
    if (number[i] == '.') {
      fraction = true;
    } else if (!nonzero && number[i] == '0') {
      leading_zeros += fraction;
    } else {
      nonzero = true;
      integer_digits += !fraction;
    }
  }
  int64_t exponent = 0;
  bool negative = false;
  if (i < number.size()) {
    ++i;
    if (number[i] == '+' || number[i] == '-') negative = number[i++] == '-';
    // Saturated: any exponent this large is out of range in the direction of its sign.
    for (; i < number.size(); ++i) exponent = std::min<int64_t>(exponent * 10 + (number[i] - '0'), int64_t{1} << 40);
  }
  return integer_digits - leading_zeros + (negative ? -exponent : exponent) > 0;
}

template <class T>
std::optional<T> parse_floating(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  T value;
  if (is_digit(text.front()) || text.front() == '.') {
    // Only digits, a point and an exponent: from_chars would also take "nan(...)" and hex forms.
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (stop != end) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
      value = exceeds_range(text) ? std::numeric_limits<T>::infinity() : T{0};
    } else if (error != std::errc()) {
      return std::nullopt;
    }
  } else if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity")) {
    value = std::numeric_limits<T>::infinity();
  } else if (equals_ignoring_case(text, "nan")) {
    value = std::numeric_limits<T>::quiet_NaN();
  } else {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace

std::optional<float> parse_decimal_float(std::string_view text) { return parse_floating<float>(text); }

std::optional<double> parse_decimal_double(std::string_view text) { return parse_floating<double>(text); }

std::optional<int64_t> parse_decimal_int64(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || !is_digit(text.front())) return std::nullopt;
  }
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace morvane::io
