// Little-endian integers in byte strings, as the GLB and crate containers store them. `Byte` is
// char or uint8_t; `Bytes` a std::string or std::vector<uint8_t>.
#pragma once

#include <cstdint>

namespace morvane::io {

template <class Byte>
uint32_t load_u32(const Byte* p) {
  uint32_t value = 0;
  for (int k = 0; k < 4; ++k) value |= uint32_t{static_cast<uint8_t>(p[k])} << (8 * k);
  return value;
}

template <class Byte>
uint64_t load_u64(const Byte* p) {
  return uint64_t{load_u32(p)} | uint64_t{load_u32(p + 4)} << 32;
}

template <class Byte>
void store_u32(Byte* p, uint32_t value) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<Byte>(value >> (8 * k));
}

template <class Bytes>
void append_u32(Bytes& out, uint32_t value) {
  for (int k = 0; k < 4; ++k) out.push_back(static_cast<typename Bytes::value_type>(value >> (8 * k)));
}

template <class Bytes>
void append_u64(Bytes& out, uint64_t value) {
  for (int k = 0; k < 8; ++k) out.push_back(static_cast<typename Bytes::value_type>(value >> (8 * k)));
}

}  // namespace morvane::io
