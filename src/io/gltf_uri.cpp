#include "gltf_uri.hpp"

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
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = uint32_t{bytes[i]} << 16 | uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (const int shift : {18, 12, 6, 0}) out += kDigits[(group >> shift) & 63];
  }
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

}  // namespace morvane::io
