// The crate writer: the tables of the written layer, value encodings, determinism, and round
// trips through the crate reader.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "io/io_error.hpp"
#include "io/usd.hpp"
#include "io/usdc.hpp"
#include "temp_dir.hpp"
#include "usdc_test_crate.hpp"

namespace morvane::io {
namespace {

MeshData strip(uint32_t triangles) {
  MeshData mesh;
  for (uint32_t i = 0; i < triangles + 2; ++i) mesh.positions.push_back({i * 0.5, (i % 3) * 1.25, -0.1 * i});
  for (uint32_t i = 0; i < triangles; ++i) mesh.triangles.push_back({i, i + 1, i + 2});
  return mesh;
}

std::vector<std::string> token_names(const test::DecodedCrate& t, const std::vector<uint32_t>& indices) {
  std::vector<std::string> names;
  for (const uint32_t i : indices) names.push_back(t.tokens.at(i));
  return names;
}

uint64_t token(uint64_t index) { return 0x400B000000000000 | index; }

TEST(UsdcWriterLayout, TablesOfAMeshWithoutAttributes) {
  const std::vector<uint8_t> file = encode_usdc(strip(2));
  const test::DecodedCrate t = test::decode_tables(file);
  EXPECT_EQ(t.tokens, (std::vector<std::string>{
                          ";-)", "", "Y", "upAxis", "metersPerUnit", "proxy", "primChildren", "defaultPrim", "none",
                          "specifier", "Mesh", "typeName", "extent", "faceVertexCounts", "faceVertexIndices",
                          "points", "purpose", "subdivisionScheme", "properties", "float3[]", "default", "int[]",
                          "point3f[]", "token", "variability"}));
  std::vector<uint32_t> names;
  std::vector<uint64_t> reps;
  for (const CrateField& f : t.fields) names.push_back(f.token), reps.push_back(f.rep);
  EXPECT_EQ(names, (std::vector<uint32_t>{3, 4, 6, 7, 9, 11, 18, 11, 20, 11, 20, 20, 11, 20, 11, 24, 20, 20}));
  // Values: primChildren at 88 (12 bytes), extent at 100 (32), counts at 132 (8 + 4 * 2),
  // indices at 148 (8 + 4 * 6), points at 180 (8 + 12 * 4), the properties last at 236.
  EXPECT_EQ(reps, (std::vector<uint64_t>{token(2), 0x400900003F800000, 0x0029000000000000 | 88, token(5),
                                         0x402A000000000000, token(10), 0x0029000000000000 | 236, token(19),
                                         0x8018000000000000 | 100, token(21), 0x8003000000000000 | 132,
                                         0x8003000000000000 | 148, token(22), 0x8018000000000000 | 180, token(23),
                                         0x402C000000000001, token(5), token(8)}));
  constexpr uint32_t end = kFieldSetTerminator;
  EXPECT_EQ(t.field_sets, (std::vector<uint32_t>{0, 1, 2, 3, end, 4, 5, 6, end, 7, 8, end, 9, 10, end, 9, 11, end,
                                                 12, 13, end, 14, 15, 16, end, 14, 15, 17, end}));
  std::vector<std::array<uint32_t, 3>> specs;
  for (const CrateSpec& s : t.specs) specs.push_back({s.path, s.field_set, s.type});
  EXPECT_EQ(specs, (std::vector<std::array<uint32_t, 3>>{
                       {0, 0, 7}, {1, 5, 6}, {2, 9, 1}, {3, 12, 1}, {4, 15, 1}, {5, 18, 1}, {6, 21, 1}, {7, 25, 1}}));
  EXPECT_EQ(t.path_indexes, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(t.element_tokens, (std::vector<int32_t>{1, 5, -12, -13, -14, -15, -16, -17}));
  EXPECT_EQ(t.jumps, (std::vector<int32_t>{-1, -1, 0, 0, 0, 0, 0, -2}));

  // Token vectors: primChildren holds "proxy", properties the six names.
  EXPECT_EQ(load_u64(&file[88]), 1u);
  EXPECT_EQ(load_u32(&file[96]), 5u);
  EXPECT_EQ(load_u64(&file[236]), 6u);
  EXPECT_EQ(load_u32(&file[244 + 20]), 17u);

  // Header, layout and table of contents.
  EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "PXR-USDC");
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 8, file.begin() + 16), (std::vector<uint8_t>{0, 8, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(file.size(), t.toc_offset + 200);
  EXPECT_EQ(t.sections.at("TOKENS").first, 88 + 12 + 32 + 16 + 32 + 56 + 32u);
  EXPECT_EQ(t.sections.at("STRINGS").second, 8u);
  EXPECT_EQ(t.sections.at("SPECS").first + t.sections.at("SPECS").second, t.toc_offset);
}

TEST(UsdcWriterLayout, TablesOfAMeshWithNormalsAndTextureCoordinates) {
  MeshData mesh = strip(1);
  mesh.normals = std::vector<Vec3>(3, Vec3{0, 0, 1});
  mesh.uvs = std::vector<Uv>(3, Uv{0.5f, 0.25f});
  const test::DecodedCrate t = test::decode_tables(encode_usdc(mesh));
  ASSERT_EQ(t.tokens.size(), 31u);
  EXPECT_EQ(std::vector<std::string>(t.tokens.begin() + 12, t.tokens.end()),
            (std::vector<std::string>{"extent", "faceVertexCounts", "faceVertexIndices", "normals", "points",
                                      "primvars:st", "purpose", "subdivisionScheme", "properties", "float3[]",
                                      "default", "int[]", "normal3f[]", "faceVarying", "interpolation",
                                      "point3f[]", "texCoord2f[]", "token", "variability"}));
  EXPECT_EQ(t.fields.size(), 23u);
  // primvars:st (path 7): typeName texCoord2f[], its default, the interpolation field of normals.
  const uint32_t set = t.specs.at(7).field_set;
  EXPECT_EQ(token_names(t, {t.fields[t.field_sets[set]].token, t.fields[t.field_sets[set + 1]].token,
                            t.fields[t.field_sets[set + 2]].token}),
            (std::vector<std::string>{"typeName", "default", "interpolation"}));
  EXPECT_EQ(t.fields[t.field_sets[set]].rep, token(28));
  EXPECT_EQ(t.field_sets[set + 2], t.field_sets[t.specs.at(5).field_set + 2]);
  EXPECT_EQ(t.field_sets[set + 3], kFieldSetTerminator);
}

TEST(UsdcWriterLayout, OptionalAttributesChangeOnlyTheirOwnTokens) {
  MeshData uvs_only = strip(1);
  uvs_only.uvs = std::vector<Uv>{};
  const test::DecodedCrate t = test::decode_tables(encode_usdc(uvs_only));
  EXPECT_EQ(std::vector<std::string>(t.tokens.begin() + 22, t.tokens.end()),
            (std::vector<std::string>{"int[]", "point3f[]", "texCoord2f[]", "faceVarying", "interpolation", "token",
                                      "variability"}));
  MeshData empty_normals = strip(1);
  empty_normals.normals = std::vector<Vec3>{};
  const std::vector<uint8_t> file = encode_usdc(empty_normals);
  const test::DecodedCrate n = test::decode_tables(file);
  EXPECT_EQ(n.tokens.at(15), "normals");
  // normals (path 5) is an empty float3 array: the count 0 alone.
  const uint64_t rep = n.fields[n.field_sets[n.specs.at(5).field_set + 1]].rep;
  EXPECT_EQ(rep >> 48, 0x8018u);
  EXPECT_EQ(load_u64(&file[rep_payload(rep)]), 0u);
}

TEST(UsdcWriterValues, IntArraysAreCompressedFromSixteenValues) {
  const auto reps = [](uint32_t triangles) {
    const test::DecodedCrate t = test::decode_tables(encode_usdc(strip(triangles)));
    return std::pair{t.fields[10].rep >> 48, t.fields[11].rep >> 48};
  };
  EXPECT_EQ(reps(5), std::pair(uint64_t{0x8003}, uint64_t{0x8003}));
  EXPECT_EQ(reps(6), std::pair(uint64_t{0x8003}, uint64_t{0xA003}));
  EXPECT_EQ(reps(16), std::pair(uint64_t{0xA003}, uint64_t{0xA003}));
}

TEST(UsdcWriterValues, EmptyMeshGivesAValidLayer) {
  const std::vector<uint8_t> file = encode_usdc(MeshData{});
  const test::DecodedCrate t = test::decode_tables(file);
  EXPECT_EQ(t.tokens.size(), 25u);
  EXPECT_EQ(t.fields.size(), 18u);
  EXPECT_EQ(t.specs.size(), 8u);
  // Extent: two elements of zeros; counts, indices and points: the count 0 alone.
  EXPECT_EQ(load_u64(&file[100]), 2u);
  for (int k = 0; k < 6; ++k) EXPECT_EQ(load_u32(&file[108 + 4 * k]), 0u);
  EXPECT_EQ(load_u64(&file[132]), 0u);
  EXPECT_EQ(load_u64(&file[140]), 0u);
  EXPECT_EQ(load_u64(&file[148]), 0u);
  const MeshData back = read_usdc_bytes(file);
  EXPECT_TRUE(back.positions.empty());
  EXPECT_TRUE(back.triangles.empty());
}

TEST(UsdcWriterValues, NanStaysOutOfTheExtentAndHugeValuesBecomeInfinite) {
  MeshData mesh = strip(1);
  mesh.positions[0] = {std::nan(""), -1e300, 2};
  const std::vector<uint8_t> file = encode_usdc(mesh);
  float extent[6];
  for (int k = 0; k < 6; ++k) extent[k] = std::bit_cast<float>(load_u32(&file[108 + 4 * k]));
  EXPECT_EQ(extent[0], 0.5f);
  EXPECT_EQ(extent[1], -INFINITY);
  EXPECT_EQ(extent[5], 2.0f);
  const MeshData back = read_usdc_bytes(file);
  EXPECT_TRUE(std::isnan(back.positions[0][0]));
  EXPECT_EQ(back.positions[0][1], -INFINITY);
}

TEST(UsdcWriterValues, WritingTwiceGivesTheSameBytes) {
  // Index deltas of +-3000 and +-5000 tie outside the counting window.
  MeshData mesh;
  for (int i = 0; i < 20000; ++i) mesh.positions.push_back({double(i), 0, 0});
  for (uint32_t i = 0; i < 1000; ++i) mesh.triangles.push_back({i * 8, i * 8 + 3000, i * 8 + 8000 % 20000});
  EXPECT_EQ(encode_usdc(mesh), encode_usdc(mesh));
  EXPECT_EQ(read_usdc_bytes(encode_usdc(mesh)).triangles, mesh.triangles);
}

TEST(UsdcWriterRoundTrip, ThroughFilesOfBothExtensions) {
  test::TempDir dir;
  MeshData mesh = strip(40);
  mesh.positions[3] = {1.0 / 3.0, -2.5e-8, 12345.678};
  mesh.triangles.push_back({41, 0, 7});
  mesh.normals = std::vector<Vec3>(3 * mesh.triangles.size(), Vec3{0, 1, 0});
  mesh.uvs = std::vector<Uv>(3 * mesh.triangles.size(), Uv{0.25f, 0.75f});
  for (const char* name : {"m.usd", "m.usdc"}) {
    write_usdc(dir.file(name), mesh);
    const MeshData back = read_usd(dir.file(name));
    EXPECT_EQ(back.triangles, mesh.triangles);
    ASSERT_EQ(back.positions.size(), mesh.positions.size());
    for (std::size_t i = 0; i < mesh.positions.size(); ++i) {
      for (int k = 0; k < 3; ++k) EXPECT_EQ(back.positions[i][k], double(float(mesh.positions[i][k])));
    }
    EXPECT_FALSE(back.normals);
    EXPECT_FALSE(back.uvs);
  }
  // Content decides on load: a crate file under a text extension reads as a crate file.
  std::filesystem::copy_file(dir.file("m.usd"), dir.file("crate.usda"));
  EXPECT_EQ(read_usd(dir.file("crate.usda")).triangles, mesh.triangles);
  // The file on disk is the encoded layer.
  EXPECT_EQ(test::read_text(dir.file("m.usdc")).size(), encode_usdc(mesh).size());
}

TEST(UsdcWriterRoundTrip, AMissingDirectoryIsAnIoError) {
  test::TempDir dir;
  try {
    write_usdc(dir.file("none/m.usdc"), strip(1));
    FAIL() << "no error";
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::Io);
    EXPECT_TRUE(std::string(e.what()).ends_with("(os error 2)")) << e.what();
  }
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace morvane::io
