// The glTF reader's merge of primitives and its accessor reading: modes, indexing, attribute
// zero-filling, component conversions, sparse substitution and the size limits.
#include <gtest/gtest.h>

#include "gltf_test_builder.hpp"
#include "io/gltf_io.hpp"
#include "io/io_error.hpp"

namespace morvane::io {
namespace {

using test::GltfBuilder;
using test::Json;

constexpr int kUnsignedByte = 5121;
constexpr int kUnsignedShort = 5123;
constexpr int kUnsignedInt = 5125;

MeshData read(const GltfBuilder& builder, const MeshLimits& limits = {}) {
  return read_gltf_bytes(builder.glb(), "", limits);
}

std::string read_error(const GltfBuilder& builder, const MeshLimits& limits = {}) {
  try {
    read(builder, limits);
  } catch (const IoError& e) {
    return e.what();
  }
  return "no error";
}

TEST(GltfReadPrimitives, OnlyTriangleModePrimitivesAreTaken) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}});
  for (int mode : {0, 1, 2, 3, 5, 6}) b.primitive(0, {{"POSITION", positions}})["mode"] = mode;
  b.primitive(0, {{"POSITION", positions}})["mode"] = 4;
  const MeshData mesh = read(b);
  EXPECT_EQ(mesh.positions.size(), 4u);
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
}

TEST(GltfReadPrimitives, NothingButPointsAndStripsIsNoTriangleMesh) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}})["mode"] = 0;
  b.primitive(0, {{"POSITION", positions}})["mode"] = 5;
  b.primitive(1, {{"NORMAL", positions}});  // no POSITION: skipped as well
  EXPECT_EQ(read_error(b), "OBJ parse error: no triangle meshes found in glTF");
}

TEST(GltfReadPrimitives, WithoutIndicesVerticesAreTakenInOrderAndATrailingPairIgnored) {
  GltfBuilder b;
  b.primitive(0, {{"POSITION", b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {1, 1, 0}, {1, 0, 1}, {0, 1, 1},
                                        {1, 1, 1}})}});
  const MeshData mesh = read(b);
  EXPECT_EQ(mesh.positions.size(), 8u);
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {3, 4, 5}}));
}

TEST(GltfReadPrimitives, MeshesMergeInOrderWithShiftedIndicesAndNoTransforms) {
  GltfBuilder b;
  const int first = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const int second = b.vec3({{5, 0, 0}, {6, 0, 0}, {5, 1, 0}, {6, 1, 0}});
  b.primitive(0, {{"POSITION", first}}, b.indices({2, 1, 0}));
  b.primitive(1, {{"POSITION", second}}, b.scalars(std::vector<uint8_t>{0, 1, 2, 1, 3, 2}, kUnsignedByte));
  b.doc["nodes"] = {{{"mesh", 1}, {"translation", {10, 0, 0}}}, {{"mesh", 1}, {"scale", {2, 2, 2}}}};
  const MeshData mesh = read(b);
  ASSERT_EQ(mesh.positions.size(), 7u);  // the second mesh is taken once, as stored
  EXPECT_EQ(mesh.positions[3], (Vec3{5, 0, 0}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{2, 1, 0}, {3, 4, 5}, {4, 6, 5}}));
}

TEST(GltfReadPrimitives, IndicesOfEveryUnsignedWidth) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}}, b.scalars(std::vector<uint8_t>{0, 1, 2}, kUnsignedByte));
  b.primitive(0, {{"POSITION", positions}}, b.scalars(std::vector<uint16_t>{1, 2, 0}, kUnsignedShort));
  b.primitive(0, {{"POSITION", positions}}, b.scalars(std::vector<uint32_t>{2, 0, 1}, kUnsignedInt));
  EXPECT_EQ(read(b).triangles, (std::vector<Tri>{{0, 1, 2}, {4, 5, 3}, {8, 6, 7}}));
}

TEST(GltfReadAttributes, TextureCoordinatesAfterAPrimitiveWithoutThem) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}});
  b.primitive(0, {{"POSITION", positions}, {"TEXCOORD_0", b.vec2({{0.25f, 0.5f}, {1, 0}, {0, 1}})}},
              b.indices({2, 1, 0}));
  b.primitive(0, {{"POSITION", positions}});
  const MeshData mesh = read(b);
  ASSERT_TRUE(mesh.uvs.has_value());
  EXPECT_FALSE(mesh.normals.has_value());
  EXPECT_EQ(*mesh.uvs,
            (std::vector<Uv>{{0, 0}, {0, 0}, {0, 0}, {0, 1}, {1, 0}, {0.25f, 0.5f}, {0, 0}, {0, 0}, {0, 0}}));
}

TEST(GltfReadAttributes, IndexBeyondAnAttributeListGivesZerosForThatCornerOnly) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  b.primitive(0, {{"POSITION", positions}, {"NORMAL", b.vec3({{0, 0, 1}, {0, 1, 0}})}});
  const MeshData mesh = read(b);
  ASSERT_TRUE(mesh.normals.has_value());
  EXPECT_EQ(*mesh.normals, (std::vector<Vec3>{{0, 0, 1}, {0, 1, 0}, {0, 0, 0}}));
}

TEST(GltfReadAttributes, IntegerTextureCoordinatesAreNormalised) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const int bytes = b.accessor(b.view(test::raw_bytes(std::vector<uint8_t>{0, 255, 51, 0, 255, 255})), kUnsignedByte,
                               3, "VEC2");
  const int shorts = b.accessor(b.view(test::raw_bytes(std::vector<uint16_t>{65535, 0, 0, 65535, 0, 0})),
                                kUnsignedShort, 3, "VEC2");
  b.doc["accessors"][bytes]["normalized"] = true;
  b.doc["accessors"][shorts]["normalized"] = true;
  b.primitive(0, {{"POSITION", positions}, {"TEXCOORD_0", bytes}});
  b.primitive(0, {{"POSITION", positions}, {"TEXCOORD_0", shorts}});
  const std::vector<Uv> uvs = read(b).uvs.value();
  EXPECT_EQ(uvs, (std::vector<Uv>{{0, 1}, {0.2f, 0}, {1, 1}, {1, 0}, {0, 1}, {0, 0}}));
}

TEST(GltfReadAttributes, UnreadableNormalOrTexcoordAccessorCountsAsAbsent) {
  GltfBuilder b;
  const int positions = b.vec3({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}});
  const int short_normals = b.accessor(b.view(std::string(18, '\0')), kUnsignedShort, 3, "VEC3");
  const int too_long = b.accessor(b.doc["accessors"][positions]["bufferView"], 5126, 4, "VEC3");
  b.primitive(0, {{"POSITION", positions}, {"NORMAL", short_normals}, {"TEXCOORD_0", 99}});
  b.primitive(0, {{"POSITION", positions}, {"NORMAL", too_long}, {"TEXCOORD_0", positions}});
  const MeshData mesh = read(b);
  EXPECT_EQ(mesh.triangles.size(), 2u);
  EXPECT_FALSE(mesh.normals.has_value());
  EXPECT_FALSE(mesh.uvs.has_value());
}

TEST(GltfReadAccessors, InterleavedVerticesFollowTheByteStride) {
  GltfBuilder b;
  // Position then normal per vertex, 24 bytes apart.
  const int view =
      b.view(test::raw_bytes(std::vector<float>{0, 0, 0, 0, 0, 1, 2, 0, 0, 0, 1, 0, 0, 3, 0, 1, 0, 0}), 24);
  const int positions = b.accessor(view, 5126, 3, "VEC3");
  const int normals = b.accessor({{"bufferView", view}, {"byteOffset", 12}, {"componentType", 5126}, {"count", 3},
                                  {"type", "VEC3"}});
  b.primitive(0, {{"POSITION", positions}, {"NORMAL", normals}});
  const MeshData mesh = read(b);
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {2, 0, 0}, {0, 3, 0}}));
  EXPECT_EQ(*mesh.normals, (std::vector<Vec3>{{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}));
}

TEST(GltfReadAccessors, SparseValuesReplaceTheBaseOrZeros) {
  GltfBuilder b;
  const int base = b.view(test::raw_bytes(std::vector<float>{0, 0, 0, 9, 9, 9, 0, 1, 0}));
  const int which = b.view(test::raw_bytes(std::vector<uint16_t>{1, 2}));
  const int values = b.view(test::raw_bytes(std::vector<float>{1, 0, 0, 0, 2, 0}));
  const Json sparse = {{"count", 2},
                       {"indices", {{"bufferView", which}, {"componentType", kUnsignedShort}}},
                       {"values", {{"bufferView", values}}}};
  const int positions = b.accessor(
      {{"bufferView", base}, {"componentType", 5126}, {"count", 3}, {"type", "VEC3"}, {"sparse", sparse}});
  const int normals = b.accessor({{"componentType", 5126}, {"count", 3}, {"type", "VEC3"}, {"sparse", sparse}});
  b.primitive(0, {{"POSITION", positions}, {"NORMAL", normals}});
  const MeshData mesh = read(b);
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}}));
  EXPECT_EQ(*mesh.normals, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}}));

  // Positions may be zeros with sparse values too.
  b.doc["meshes"][0]["primitives"][0]["attributes"]["POSITION"] = normals;
  EXPECT_EQ(read(b).positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 2, 0}}));
}

TEST(GltfReadAccessors, SparseIndexBeyondTheAccessorIsRefused) {
  GltfBuilder b;
  const int base = b.view(test::raw_bytes(std::vector<float>(9, 0.0f)));
  const int which = b.view(test::raw_bytes(std::vector<uint16_t>{3}));
  const int values = b.view(test::raw_bytes(std::vector<float>{1, 1, 1}));
  const Json sparse = {{"count", 1},
                       {"indices", {{"bufferView", which}, {"componentType", kUnsignedShort}}},
                       {"values", {{"bufferView", values}}}};
  b.primitive(0, {{"POSITION", b.accessor({{"bufferView", base}, {"componentType", 5126}, {"count", 3},
                                           {"type", "VEC3"}, {"sparse", sparse}})}});
  EXPECT_EQ(read_error(b),
            "OBJ parse error: glTF: mesh 0, primitive 0: POSITION accessor 0: sparse index 3 beyond 3 elements");
}

TEST(GltfReadLimits, CountsEqualToTheLimitsPass) {
  GltfBuilder b = test::one_triangle();
  const MeshData mesh = read(b, {3, 1});
  EXPECT_EQ(mesh.triangles.size(), 1u);
}

TEST(GltfReadLimits, VerticesAreCountedAcrossPrimitives) {
  GltfBuilder b = test::one_triangle();
  b.primitive(0, b.doc["meshes"][0]["primitives"][0]["attributes"]);
  EXPECT_EQ(read_error(b, {5, 10}), "mesh too large: vertex count 6 exceeds limit 5");
}

TEST(GltfReadLimits, TrianglesAreCountedBeforeAPrimitiveIsAppended) {
  GltfBuilder b = test::one_triangle();
  b.primitive(0, b.doc["meshes"][0]["primitives"][0]["attributes"], b.indices({0, 1, 2, 2, 1, 0, 0, 0}));
  EXPECT_EQ(read_error(b, {10, 2}), "mesh too large: triangle count 3 exceeds limit 2");
}

}  // namespace
}  // namespace morvane::io
