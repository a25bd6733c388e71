// The GLB writer: exact container layout, the JSON's number forms, and refusals.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "gltf_test_builder.hpp"
#include "io/gltf_io.hpp"
#include "io/io_error.hpp"
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

TEST(GlbWriterLayout, EmptyMeshHasZeroCountsInvertedBoundsAndAnEmptyBinaryChunk) {
  TempDir dir;
  write_glb(dir.file("empty.glb"), MeshData{});
  const std::string bytes = read_text(dir.file("empty.glb"));
  const GlbParts glb = split_glb(bytes);
  EXPECT_EQ(bytes.size(), glb.json_length + 28);
  EXPECT_EQ(glb.binary_length, 0u);
  const std::string largest = kLargestFloatText;
  EXPECT_NE(glb.json.find(R"("max":[-)" + largest + ",-" + largest + ",-" + largest + "]"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("min":[)" + largest + "," + largest + "," + largest + "]"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("buffers":[{"byteLength":0}])"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("byteOffset":0,"byteLength":0,"target":34962)"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("byteOffset":0,"byteLength":0,"target":34963)"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("count":0,"type":"VEC3")"), std::string::npos);
  EXPECT_NE(glb.json.find(R"("count":0,"type":"SCALAR")"), std::string::npos);
}

TEST(GlbWriterBounds, ShortestFormsOfTheNarrowedValuesWithNaNIgnored) {
  MeshData mesh;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  mesh.positions = {{0.5, 2.0, -0.0}, {0.1, nan, -3.0}, {nan, nan, nan}};
  const GlbParts glb = write_and_split(mesh);
  EXPECT_NE(glb.json.find(R"("max":[0.5,2,-0],"min":[0.1,2,-3])"), std::string::npos) << glb.json;
  EXPECT_EQ(f32_at(glb.binary, 12), 0.1f);  // narrowed, not rounded to the text
}

TEST(GlbWriterBounds, InfiniteBoundsAreWrittenAsTheLargestFiniteValue) {
  MeshData mesh;
  mesh.positions = {{1e39, -std::numeric_limits<double>::infinity(), 0.0}, {0.0, 1.0, 2.0}};
  mesh.triangles = {{0, 1, 1}};
  const GlbParts glb = write_and_split(mesh);
  const std::string largest = kLargestFloatText;
  EXPECT_NE(glb.json.find(R"("max":[)" + largest + ",1,2]"), std::string::npos) << glb.json;
  EXPECT_NE(glb.json.find(R"("min":[0,-)" + largest + ",0]"), std::string::npos) << glb.json;
  EXPECT_TRUE(test::Json::accept(glb.json));
  EXPECT_TRUE(std::isinf(f32_at(glb.binary, 0)));  // the data itself keeps the narrowed value
}

TEST(GlbWriterRoundTrip, GltfPathGetsTheSameContainerAndReadsBack) {
  TempDir dir;
  MeshData mesh;
  mesh.positions = {{0.1, 0.2, 0.3}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  mesh.triangles = {{0, 1, 2}, {0, 2, 3}};
  mesh.uvs = std::vector<Uv>(6, Uv{0.5f, 0.5f});
  mesh.normals = std::vector<Vec3>(6, Vec3{0, 0, 1});
  write_glb(dir.file("a.glb"), mesh);
  write_glb(dir.file("a.gltf"), mesh);
  EXPECT_EQ(read_text(dir.file("a.gltf")), read_text(dir.file("a.glb")));

  const MeshData back = read_gltf(dir.file("a.gltf"));
  ASSERT_EQ(back.positions.size(), 4u);
  EXPECT_EQ(back.positions[0], (Vec3{0.1f, 0.2f, 0.3f}));
  EXPECT_EQ(back.triangles, mesh.triangles);
  EXPECT_FALSE(back.uvs.has_value());
  EXPECT_FALSE(back.normals.has_value());
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
