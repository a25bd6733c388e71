// The glTF writers: one fixed JSON document with the counts, lengths and position bounds filled
// in, over one buffer of f32 positions followed by u32 triangle indices. A GLB container carries
// the buffer as its binary chunk; a JSON glTF file embeds it as a base64 data URI.
#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "common/numeric.hpp"
#include "common/text_format.hpp"
#include "core/run_context.hpp"
#include "file_writer.hpp"
#include "gltf_io.hpp"
#include "gltf_uri.hpp"
#include "io_error.hpp"
#include "little_endian.hpp"

namespace morvane::io {

static_assert(std::endian::native == std::endian::little, "the glTF writers copy host values as little-endian");
static_assert(sizeof(Tri) == 12);

namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();
constexpr uint64_t kMaxGlbLength = UINT32_MAX;  // the container's length fields are 32-bit
constexpr std::string_view kDataUriPrefix = "data:application/octet-stream;base64,";

[[noreturn]] void too_large(std::string_view container, uint64_t length, uint64_t limit) {
  throw IoError::io(fmt::format("mesh too large for {}: the file would take {} bytes, more than the container's "
                                "limit of {}",
                                container, length, limit));
}

// The buffer both containers carry, with the position bounds the document declares.
struct GltfBuffer {
  std::vector<unsigned char> bytes;
  uint64_t position_bytes = 0;
  uint64_t index_bytes = 0;
  float min[3] = {kLargestFloat, kLargestFloat, kLargestFloat};
  float max[3] = {-kLargestFloat, -kLargestFloat, -kLargestFloat};
};

// Both parts are multiples of 4 bytes, so neither needs padding.
uint64_t buffer_length(std::span<const Vec3> positions, std::span<const Tri> triangles) {
  return saturating_add(saturating_mul(12, positions.size()), saturating_mul(12, triangles.size()));
}

// Positions narrowed to f32, which glTF requires to be finite: a NaN or a value beyond the f32
// range is refused rather than written into a file that readers reject.
GltfBuffer build_buffer(std::span<const Vec3> positions, std::span<const Tri> triangles) {
  GltfBuffer buffer;
  buffer.position_bytes = 12 * uint64_t{positions.size()};
  buffer.index_bytes = 12 * uint64_t{triangles.size()};
  buffer.bytes.resize(buffer.position_bytes + buffer.index_bytes);
  unsigned char* out = buffer.bytes.data();
  for_each_polled_range(positions.size(), [&](std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) {
      const Vec3& p = positions[v];
      float narrowed[3];
      for (int c = 0; c < 3; ++c) {
        narrowed[c] = narrow_to_float(p[c]);
        if (!std::isfinite(narrowed[c])) {
          throw IoError::io(fmt::format("glTF positions must be finite 32-bit floats: vertex {} is ({}, {}, {})", v,
                                        p[0], p[1], p[2]));
        }
        buffer.min[c] = std::min(buffer.min[c], narrowed[c]);
        buffer.max[c] = std::max(buffer.max[c], narrowed[c]);
      }
      std::memcpy(out, narrowed, sizeof narrowed);
      out += sizeof narrowed;
    }
  });
  if (buffer.index_bytes > 0) std::memcpy(out, triangles.data(), buffer.index_bytes);
  return buffer;
}

// The document; `uri` is the buffer's data URI, or empty for the binary chunk of a GLB.
std::string gltf_json(const GltfBuffer& buffer, std::string_view uri, std::size_t vertex_count,
                      std::size_t triangle_count) {
  std::string json = R"({"asset":{"version":"2.0","generator":"morvane-reduce"},"buffers":[{"byteLength":)";
  append_decimal(json, buffer.bytes.size());
  if (!uri.empty()) {
    json += R"(,"uri":")";
    json += uri;
    json += '"';
  }
  json += R"(}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":)";
  append_decimal(json, buffer.position_bytes);
  json += R"(,"target":34962},{"buffer":0,"byteOffset":)";
  append_decimal(json, buffer.position_bytes);
  json += R"(,"byteLength":)";
  append_decimal(json, buffer.index_bytes);
  json += R"(,"target":34963}],"accessors":[{"bufferView":0,"componentType":5126,"count":)";
  append_decimal(json, vertex_count);
  json += R"(,"type":"VEC3","max":[)";
  json += shortest_plain(buffer.max[0]) + "," + shortest_plain(buffer.max[1]) + "," + shortest_plain(buffer.max[2]);
  json += R"(],"min":[)";
  json += shortest_plain(buffer.min[0]) + "," + shortest_plain(buffer.min[1]) + "," + shortest_plain(buffer.min[2]);
  json += R"(]},{"bufferView":1,"componentType":5125,"count":)";
  append_decimal(json, 3 * uint64_t{triangle_count});
  json += R"(,"type":"SCALAR"}],"materials":[{"doubleSided":true,"pbrMetallicRoughness":{"baseColorFactor":)"
          R"([0.8,0.8,0.8,1.0]}}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],)"
          R"("nodes":[{"mesh":0}],"scenes":[{"nodes":[0]}],"scene":0})";
  return json;
}

}  // namespace

void write_glb(const std::string& path, const MeshData& mesh) { write_glb(path, mesh.positions, mesh.triangles); }

void write_glb(const std::string& path, std::span<const Vec3> positions, std::span<const Tri> triangles) {
  const uint64_t binary_length = buffer_length(positions, triangles);
  if (saturating_add(28, binary_length) > kMaxGlbLength) {
    too_large("GLB", saturating_add(28, binary_length), kMaxGlbLength);
  }
  const GltfBuffer buffer = build_buffer(positions, triangles);
  std::string json = gltf_json(buffer, {}, positions.size(), triangles.size());
  json.append((4 - json.size() % 4) % 4, ' ');
  const uint64_t total = 28 + json.size() + binary_length;
  if (total > kMaxGlbLength) too_large("GLB", total, kMaxGlbLength);

  std::string header = "glTF";
  append_u32(header, 2);
  append_u32(header, static_cast<uint32_t>(total));
  append_u32(header, static_cast<uint32_t>(json.size()));
  header += "JSON";
  std::string binary_header;
  append_u32(binary_header, static_cast<uint32_t>(binary_length));
  binary_header += std::string_view("BIN\0", 4);

  FileWriter file(path);
  file.write(header);
  file.write(json);
  file.write(binary_header);
  file.write(buffer.bytes.data(), buffer.bytes.size());
  file.commit();
}

void write_gltf(const std::string& path, std::span<const Vec3> positions, std::span<const Tri> triangles) {
  // Four base64 digits per three bytes, within what the reader's base64 decoder takes.
  const uint64_t payload_length = saturating_mul(4, saturating_add(buffer_length(positions, triangles), 2) / 3);
  if (payload_length > kMaxDataUriPayload) too_large("an embedded glTF buffer", payload_length, kMaxDataUriPayload);
  const GltfBuffer buffer = build_buffer(positions, triangles);
  std::string uri(kDataUriPrefix);
  append_base64(uri, buffer.bytes);
  FileWriter file(path);
  file.write(gltf_json(buffer, uri, positions.size(), triangles.size()));
  file.commit();
}

}  // namespace morvane::io
