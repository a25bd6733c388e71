#include "utf8.hpp"

#include <cstdint>

namespace morvane::io {

namespace {

// Length of the valid UTF-8 sequence at `i`, or 0 when it is invalid; `bad` receives the length of
// its maximal invalid subpart (at least 1) in that case.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) {
  const auto byte = [&](std::size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t lead = byte(i);
  bad = 1;
  if (lead < 0x80) return 1;
  std::size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 3;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 4;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < need; ++k) {
    if (i + k >= s.size()) {
      bad = k;
      return 0;
    }
    const uint8_t b = byte(i + k);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) {
      bad = k;
      return 0;
    }
  }
  return need;
}

bool is_space_at_start(std::string_view s, std::size_t& length) {
  const auto b = [&](std::size_t k) { return k < s.size() ? static_cast<uint8_t>(s[k]) : 0; };
  const uint8_t c = b(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return length = 1, true;
  if (c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return length = 2, true;
  if (s.size() < 3) return false;
  const uint8_t d = b(1), e = b(2);
  const bool three = (c == 0xE1 && d == 0x9A && e == 0x80) ||                                   // U+1680
                     (c == 0xE2 && d == 0x80 && ((e >= 0x80 && e <= 0x8A) || e == 0xA8 || e == 0xA9 ||
                                                 e == 0xAF)) ||                               // U+2000..
                     (c == 0xE2 && d == 0x81 && e == 0x9F) ||                                   // U+205F
                     (c == 0xE3 && d == 0x80 && e == 0x80);                                     // U+3000
  if (three) length = 3;
  return three;
}

bool is_space_at_end(std::string_view s, std::size_t& length) {
  for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
    std::size_t found = 0;
    if (is_space_at_start(s.substr(s.size() - n), found) && found == n) {
      length = n;
      return true;
    }
  }
  return false;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    if (static_cast<uint8_t>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::size_t n = sequence_length(bytes, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0, bad = 0;
  while (i < bytes.size()) {
    const std::size_t n = sequence_length(bytes, i, bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string_view trim_unicode_space(std::string_view text) {
  std::size_t n = 0;
  while (!text.empty() && is_space_at_start(text, n)) text.remove_prefix(n);
  while (!text.empty() && is_space_at_end(text, n)) text.remove_suffix(n);
  return text;
}

}  // namespace morvane::io
