#include "gltf_uri.hpp"

#include <algorithm>
#include <array>

#include "core/run_context.hpp"

namespace morvane::io {

namespace {

constexpr std::string_view kBase64DataPrefixes[] = {
    "data:application/octet-stream;base64,", "data:application/gltf-buffer;base64,", "data:image/png;base64,",
    "data:image/jpeg;base64,", "data:image/bmp;base64,", "data:image/gif;base64,", "data:text/plain;base64,"};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_base64_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Base64 text decoded between two stop polls: long enough that polling costs nothing, short
// enough to take well under a millisecond.
constexpr std::size_t kDecodePiece = std::size_t{1} << 18;

// The value of each base64 digit; -1 for any other byte.
constexpr std::array<int8_t, 256> kDigitValues = [] {
  std::array<int8_t, 256> values{};
  values.fill(-1);
  constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < kDigits.size(); ++i) {
    values[static_cast<unsigned char>(kDigits[i])] = static_cast<int8_t>(i);
  }
  return values;
}();

}  // namespace

std::optional<std::string> percent_decode(std::string_view uri) {
  std::string out;
  out.reserve(uri.size());
  for (std::size_t i = 0; i < uri.size(); ++i) {
    if (uri[i] != '%') {
      out += uri[i];
      continue;
    }
    if (i + 2 >= uri.size()) return std::nullopt;
    const int high = hex_digit(uri[i + 1]);
    const int low = hex_digit(uri[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::string tinygltf_decoding(std::string uri) {
  for (char& c : uri) {
    if (c == '+') c = ' ';
  }
  return percent_decode(uri).value_or(std::string());
}

std::optional<std::string_view> base64_payload(std::string_view uri) {
  for (const std::string_view prefix : kBase64DataPrefixes) {
    if (uri.starts_with(prefix)) return uri.substr(prefix.size());
  }
  return std::nullopt;
}

void append_base64(std::string& out, std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  const std::size_t groups = bytes.size() / 3;
  for_each_polled_range(groups, [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      const std::size_t i = 3 * g;
      const uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
      for (const int shift : {18, 12, 6, 0}) out += kDigits[(group >> shift) & 63];
    }
  });
  const std::size_t i = 3 * groups;
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | (rest == 2 ? uint32_t{bytes[i + 1]} << 8 : 0);
    out += kDigits[(group >> 18) & 63];
    out += kDigits[(group >> 12) & 63];
    out += rest == 2 ? kDigits[(group >> 6) & 63] : '=';
    out += '=';
  }
}

std::optional<uint64_t> base64_decoded_size(std::string_view text) {
  std::size_t digits = text.size();
  std::size_t padding = 0;
  while (padding < 2 && digits > 0 && text[digits - 1] == '=') {
    --digits;
    ++padding;
  }
  for (std::size_t i = 0; i < digits; ++i) {
    if (!is_base64_digit(text[i])) return std::nullopt;
  }
  if (digits % 4 == 1 || (padding > 0 && (digits + padding) % 4 != 0)) return std::nullopt;
  return uint64_t{digits / 4 * 3} + (digits % 4 == 0 ? 0 : digits % 4 - 1);
}

std::optional<std::vector<unsigned char>> decode_base64(std::string_view text) {
  std::size_t digits = text.size();
  std::size_t padding = 0;
  while (padding < 2 && digits > 0 && text[digits - 1] == '=') {
    --digits;
    ++padding;
  }
  if (digits % 4 == 1 || (padding > 0 && (digits + padding) % 4 != 0)) return std::nullopt;
  std::vector<unsigned char> out(digits / 4 * 3 + (digits % 4 == 0 ? 0 : digits % 4 - 1));
  unsigned char* to = out.data();
  const auto* from = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t start = 0; start < digits; start += kDecodePiece) {
    throw_if_stopped();
    const std::size_t end = std::min(digits, start + kDecodePiece);  // a multiple of 4 but at the text's end
    int32_t invalid = 0;  // any digit's -1 makes it negative
    std::size_t i = start;
    for (; i + 4 <= end; i += 4) {
      const int32_t a = kDigitValues[from[i]], b = kDigitValues[from[i + 1]], c = kDigitValues[from[i + 2]],
                    d = kDigitValues[from[i + 3]];
      invalid |= a | b | c | d;
      const uint32_t group = static_cast<uint32_t>(a) << 18 | static_cast<uint32_t>(b) << 12 |
                             static_cast<uint32_t>(c) << 6 | static_cast<uint32_t>(d);
      *to++ = static_cast<unsigned char>(group >> 16);
      *to++ = static_cast<unsigned char>(group >> 8);
      *to++ = static_cast<unsigned char>(group);
    }
    if (i < end) {  // the last two or three digits: one or two bytes
      uint32_t group = 0;
      for (std::size_t k = 0; k < 4; ++k) {
        const int32_t value = i + k < end ? kDigitValues[from[i + k]] : 0;
        invalid |= value;
        group = group << 6 | static_cast<uint32_t>(value);
      }
      *to++ = static_cast<unsigned char>(group >> 16);
      if (end - i == 3) *to++ = static_cast<unsigned char>(group >> 8);
    }
    if (invalid < 0) return std::nullopt;
  }
  return out;
}

}  // namespace morvane::io
