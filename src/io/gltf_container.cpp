#include "gltf_container.hpp"

#include <cstdint>

#include "gltf_error.hpp"
#include "little_endian.hpp"

namespace morvane::io {

constexpr uint32_t kChunkJson = 0x4E4F534A;  // "JSON"
constexpr uint32_t kChunkBin = 0x004E4942;   // "BIN\0"

GlbInput check_glb(std::string_view bytes, std::string& trimmed) {
  if (bytes.size() < 20) fail_gltf("GLB file of {} bytes ends inside its header", bytes.size());
  const auto u32_at = [&](std::size_t at) { return load_u32(bytes.data() + at); };
  const uint32_t version = u32_at(4);
  if (version != 2) fail_gltf("unsupported GLB version {}", version);
  const uint32_t length = u32_at(8);
  if (length > bytes.size()) fail_gltf("GLB header declares {} bytes but the file holds {}", length, bytes.size());
  if (u32_at(16) != kChunkJson) fail_gltf("the first GLB chunk is not JSON");
  const uint64_t json_end = 20 + uint64_t{u32_at(12)};
  if (json_end > length) fail_gltf("the GLB JSON chunk runs past the declared length {}", length);
  const std::string_view json = bytes.substr(20, json_end - 20);

  bool keep_binary = false;
  if (const uint64_t rest = length - json_end; rest > 0) {
    if (rest < 8) fail_gltf("GLB chunk header cut short after the JSON chunk");
    const uint32_t chunk_length = u32_at(json_end);
    if (json_end + 8 + chunk_length > length) {
      fail_gltf("the GLB chunk after the JSON chunk runs past the declared length {}", length);
    }
    keep_binary = chunk_length > 0 && u32_at(json_end + 4) == kChunkBin;
  }
  if (keep_binary) return {bytes.substr(0, length), json};
  trimmed.assign(bytes.substr(0, json_end));
  store_u32(trimmed.data() + 8, static_cast<uint32_t>(json_end));
  return {trimmed, std::string_view(trimmed).substr(20)};
}

}  // namespace morvane::io
