// The glTF writers: exact GLB layout, the JSON's number forms, the JSON glTF file, and refusals.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "gltf_test_builder.hpp"
#include "io/gltf_io.hpp"
#include "io/gltf_uri.hpp"
#include "io/io_error.hpp"
#include "io/mesh_io.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

using test::read_text;
using test::TempDir;

constexpr const char* kLargestFloatText = "340282350000000000000000000000000000000";

uint32_t u32_at(const std::string& bytes, std::size_t at) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

float f32_at(const std::string& bytes, std::size_t at) {
  float value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

struct GlbParts {
  std::string json;  // without its padding
  uint32_t json_length = 0;
  uint32_t binary_length = 0;
  std::string binary;
};

GlbParts split_glb(const std::string& bytes) {
  GlbParts parts;
  EXPECT_EQ(bytes.substr(0, 4), "glTF");
  EXPECT_EQ(u32_at(bytes, 4), 2u);
  EXPECT_EQ(u32_at(bytes, 8), bytes.size());
  parts.json_length = u32_at(bytes, 12);
  EXPECT_EQ(parts.json_length % 4, 0u);
  EXPECT_EQ(bytes.substr(16, 4), "JSON");
  parts.json = bytes.substr(20, parts.json_length);
  while (!parts.json.empty() && parts.json.back() == ' ') parts.json.pop_back();
  const std::size_t binary_header = 20 + parts.json_length;
  parts.binary_length = u32_at(bytes, binary_header);
  EXPECT_EQ(bytes.substr(binary_header + 4, 4), std::string_view("BIN\0", 4));
  parts.binary = bytes.substr(binary_header + 8);
  EXPECT_EQ(parts.binary.size(), parts.binary_length);
  return parts;
}

GlbParts write_and_split(const MeshData& mesh) {
  TempDir dir;
  write_glb(dir.file("mesh.glb"), mesh);
  return split_glb(read_text(dir.file("mesh.glb")));
}

TEST(GlbWriterLayout, OneTriangleHasTheFixedDocumentAndChunk) {
  MeshData mesh;
  mesh.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  mesh.triangles = {{0, 1, 2}};
  const GlbParts glb = write_and_split(mesh);
  EXPECT_EQ(glb.json,
            R"({"asset":{"version":"2.0","generator":"morvane-reduce"},"buffers":[{"byteLength":48}],)"
            R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36,"target":34962},)"
            R"({"buffer":0,"byteOffset":36,"byteLength":12,"target":34963}],)"
            R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","max":[1,1,0],"min":[0,0,0]},)"
            R"({"bufferView":1,"componentType":5125,"count":3,"type":"SCALAR"}],)"
            R"("materials":[{"doubleSided":true,"pbrMetallicRoughness":{"baseColorFactor":[0.8,0.8,0.8,1.0]}}],)"
            R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":1,"material":0}]}],)"
            R"("nodes":[{"mesh":0}],"scenes":[{"nodes":[0]}],"scene":0})");
  ASSERT_EQ(glb.binary_length, 48u);
  EXPECT_EQ(f32_at(glb.binary, 12), 1.0f);
  EXPECT_EQ(f32_at(glb.binary, 28), 1.0f);
  EXPECT_EQ(u32_at(glb.binary, 36), 0u);
  EXPECT_EQ(u32_at(glb.binary, 40), 1u);
  EXPECT_EQ(u32_at(glb.binary, 44), 2u);
}

TEST(GlbWriterBounds, ShortestFormsOfTheNarrowedValues) {
  MeshData mesh;
  mesh.positions = {{0.5, 2.0, -0.0}, {0.1, 16777217.0, -3.0}, {0.25, 1.0, 3.4028234663852886e38}};
  mesh.triangles = {{0, 1, 2}};
  const GlbParts glb = write_and_split(mesh);
  EXPECT_NE(glb.json.find(R"("max":[0.5,16777216,)" + std::string(kLargestFloatText) + R"(],"min":[0.1,1,-3])"),
            std::string::npos)
      << glb.json;
  EXPECT_EQ(f32_at(glb.binary, 12), 0.1f);  // narrowed, not rounded to the text
}

// glTF positions are finite: NaN, infinities and values that become infinite as f32 are refused.
TEST(GlbWriterRefusal, NonFinitePositionsCreateNoFile) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const double bad : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e39}) {
    MeshData mesh;
    mesh.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, bad}};
    mesh.triangles = {{0, 1, 2}};
    TempDir dir;
    for (const char* name : {"m.glb", "m.gltf"}) {
      try {
        save_mesh(mesh.positions, mesh.triangles, dir.file(name));
        ADD_FAILURE() << bad;
      } catch (const IoError& e) {
        EXPECT_EQ(e.kind(), IoError::Kind::Io);
        EXPECT_TRUE(std::string(e.what()).starts_with(
            "I/O error: glTF positions must be finite 32-bit floats: vertex 2 is (0, 1, "))
            << e.what();
      }
    }
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(GltfWriter, GltfPathGetsTheDocumentWithItsBufferEmbeddedAndReadsBack) {
  TempDir dir;
  MeshData mesh;
  mesh.positions = {{0.1, 0.2, 0.3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  mesh.triangles = {{0, 1, 2}, {0, 2, 3}};
  save_mesh_with_attributes(mesh.positions, mesh.triangles, std::vector<Uv>(6, Uv{0.5f, 0.5f}),
                            std::vector<Vec3>(6, Vec3{0, 0, 1}), dir.file("a.gltf"));
  write_glb(dir.file("a.glb"), mesh);
  const std::string document = read_text(dir.file("a.gltf"));
  const GlbParts glb = split_glb(read_text(dir.file("a.glb")));
  // The GLB's document with the buffer's bytes as a base64 data URI.
  std::string uri = "data:application/octet-stream;base64,";
  append_base64(uri, std::span(reinterpret_cast<const unsigned char*>(glb.binary.data()), glb.binary.size()));
  std::string expected = glb.json;
  expected.insert(expected.find(R"(}],"bufferViews")"), R"(,"uri":")" + uri + R"(")");
  EXPECT_EQ(document, expected);
  EXPECT_TRUE(test::Json::accept(document));

  const MeshData back = read_gltf(dir.file("a.gltf"));
  ASSERT_EQ(back.positions.size(), 4u);
  EXPECT_EQ(back.positions[0], (Vec3{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(back.triangles, mesh.triangles);
  EXPECT_FALSE(back.uvs.has_value());
  EXPECT_FALSE(back.normals.has_value());
}

TEST(GltfWriter, Base64OfEveryLengthModuloThree) {
  const unsigned char bytes[] = {0x00, 0xFB, 0xFF, 0x41};
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {0, ""}, {1, "AA=="}, {2, "APs="}, {3, "APv/"}, {4, "APv/QQ=="}};
  for (const auto& [length, text] : cases) {
    std::string out = "x";
    append_base64(out, std::span(bytes, length));
    EXPECT_EQ(out, "x" + text);
    EXPECT_EQ(base64_decoded_size(text), length);
  }
}

TEST(GlbWriterRefusal, MeshBeyondTheContainersLengthFieldsCreatesNoFile) {
  // 12 bytes per triangle: this many no longer fit the 32-bit total length. The triangles lie in
  // untouched address space; the writer must refuse before reading them.
  const std::size_t count = (std::size_t{UINT32_MAX} - 28) / 12 + 1;
  const std::size_t bytes = count * sizeof(Tri);
  void* memory = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  TempDir dir;
  try {
    write_glb(dir.file("huge.glb"), {}, std::span<const Tri>(static_cast<const Tri*>(memory), count));
    ADD_FAILURE() << "no error";
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::Io);
    EXPECT_NE(std::string(e.what()).find("mesh too large for GLB"), std::string::npos) << e.what();
  }
  munmap(memory, bytes);
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace morvane::io
