// The GLB writer: one fixed JSON document with the counts, lengths and position bounds filled in,
// and a binary chunk of f32 positions followed by u32 triangle indices.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/numeric.hpp"
#include "core/text_format.hpp"
#include "file_writer.hpp"
#include "gltf_io.hpp"
#include "io_error.hpp"

namespace morvane::io {

static_assert(std::endian::native == std::endian::little, "the GLB writer copies host values as little-endian");
static_assert(sizeof(Tri) == 12);

namespace {

constexpr float kLargestFloat = std::numeric_limits<float>::max();
constexpr uint64_t kMaxGlbLength = UINT32_MAX;  // the container's length fields are 32-bit

// JSON has no infinity: an infinite bound is written as the largest finite float of its sign.
std::string bound_text(float value) {
  return shortest_plain(std::isinf(value) ? std::copysign(kLargestFloat, value) : value);
}

[[noreturn]] void too_large(uint64_t length) {
  throw IoError::io("mesh too large for GLB: the file would take " + std::to_string(length) +
                    " bytes, more than the container's limit of " + std::to_string(kMaxGlbLength));
}

void append_u32(std::string& out, uint32_t value) {
  for (int k = 0; k < 4; ++k) out += static_cast<char>((value >> (8 * k)) & 0xFF);
}

std::string glb_json(uint64_t binary_length, uint64_t position_bytes, uint64_t index_offset, uint64_t index_bytes,
                     uint64_t vertex_count, uint64_t index_count, const float (&min)[3], const float (&max)[3]) {
  std::string json = R"({"asset":{"version":"2.0","generator":"morvane-reduce"},"buffers":[{"byteLength":)";
  append_decimal(json, binary_length);
  json += R"(}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":)";
  append_decimal(json, position_bytes);
  json += R"(,"target":34962},{"buffer":0,"byteOffset":)";
  append_decimal(json, index_offset);
  json += R"(,"byteLength":)";
  append_decimal(json, index_bytes);
  json += R"(,"target":34963}],"accessors":[{"bufferView":0,"componentType":5126,"count":)";
  append_decimal(json, vertex_count);
  json += R"(,"type":"VEC3","max":[)";
  json += bound_text(max[0]) + "," + bound_text(max[1]) + "," + bound_text(max[2]);
  json += R"(],"min":[)";
  json += bound_text(min[0]) + "," + bound_text(min[1]) + "," + bound_text(min[2]);
  json += R"(]},{"bufferView":1,"componentType":5125,"count":)";
  append_decimal(json, index_count);
  json += R"(,"type":"SCALAR"}],"materials":[{"doubleSided":true,"pbrMetallicRoughness":{"baseColorFactor":)"
          R"([0.8,0.8,0.8,1.0]}}],"meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],)"
          R"("nodes":[{"mesh":0}],"scenes":[{"nodes":[0]}],"scene":0})";
  return json;
}

}  // namespace

void write_glb(const std::string& path, const MeshData& mesh) { write_glb(path, mesh.positions, mesh.triangles); }

void write_glb(const std::string& path, std::span<const Vec3> positions, std::span<const Tri> triangles) {
  const uint64_t position_bytes = saturating_mul(12, positions.size());
  const uint64_t index_bytes = saturating_mul(12, triangles.size());
  // Both parts are multiples of 4, so neither needs padding.
  const uint64_t binary_length = saturating_add(position_bytes, index_bytes);
  if (saturating_add(28, binary_length) > kMaxGlbLength) too_large(saturating_add(28, binary_length));

  std::vector<unsigned char> binary(binary_length);
  float min[3] = {kLargestFloat, kLargestFloat, kLargestFloat};
  float max[3] = {-kLargestFloat, -kLargestFloat, -kLargestFloat};
  unsigned char* out = binary.data();
  for (const Vec3& p : positions) {
    float narrowed[3];
    for (int c = 0; c < 3; ++c) {
      narrowed[c] = narrow_to_float(p[c]);
      // Comparisons are false for NaN, which leaves the running bounds unchanged.
      if (narrowed[c] < min[c]) min[c] = narrowed[c];
      if (narrowed[c] > max[c]) max[c] = narrowed[c];
    }
    std::memcpy(out, narrowed, sizeof narrowed);
    out += sizeof narrowed;
  }
  if (index_bytes > 0) std::memcpy(out, triangles.data(), index_bytes);

  std::string json = glb_json(binary_length, position_bytes, position_bytes, index_bytes, positions.size(),
                              3 * uint64_t{triangles.size()}, min, max);
  json.append((4 - json.size() % 4) % 4, ' ');
  const uint64_t total = 28 + json.size() + binary_length;
  if (total > kMaxGlbLength) too_large(total);

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
  file.write(binary.data(), binary.size());
  file.commit();
}

}  // namespace morvane::io
