// USDA text layers and the USD entry: the array parsers, the mesh block, the written text, the
// child order of the traversal, and the choice between crate, usdz and text by a file's first bytes.
#include <gtest/gtest.h>

#include <cmath>

#include "io/io_error.hpp"
#include "io/mesh_io.hpp"
#include "io/usd.hpp"
#include "io/usd_traversal.hpp"
#include "io/usdc.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

std::string error_of(auto&& action) {
  try {
    action();
  } catch (const IoError& e) {
    return e.what();
  }
  return "no error";
}

std::string text_error(const std::string& text) { return error_of([&] { read_usda_bytes(text); }); }

std::string mesh_text(const std::string& body) { return "#usda 1.0\ndef Mesh \"m\"\n{\n" + body + "\n}\n"; }

const std::string kTriangleBody =
    "    int[] faceVertexCounts = [3]\n    int[] faceVertexIndices = [0, 1, 2]\n"
    "    point3f[] points = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]";

TEST(UsdaArrays, ParsesCommaSeparatedIntegers) {
  EXPECT_EQ(parse_int_array("[3, 3,3 ,]"), (std::vector<int64_t>{3, 3, 3}));
  EXPECT_EQ(parse_int_array("[+7, -9223372036854775808, 9223372036854775807]"),
            (std::vector<int64_t>{7, INT64_MIN, INT64_MAX}));
  EXPECT_EQ(parse_int_array("[\xC2\xA0" "1\xE3\x80\x80, \t2\n]"), (std::vector<int64_t>{1, 2}))
      << "Unicode white space is trimmed";
  EXPECT_EQ(parse_int_array("[]"), std::vector<int64_t>{});
  for (const char* bad : {"[3 3]", "[9223372036854775808]", "[+-1]", "[1.0]", "[0x10]", "[-]", "[1e3]", "None", "3",
                          "[[1], [2]]"}) {
    EXPECT_FALSE(parse_int_array(bad)) << bad;
  }
}

TEST(UsdaArrays, ParsesPointTuples) {
  const auto points = parse_point_array("[(0, 0, 0), (1.5, -2e3, .25) junk (5., +1E-2, 7)]");
  ASSERT_TRUE(points);
  EXPECT_EQ(*points, (std::vector<Vec3>{{0, 0, 0}, {1.5, -2000, 0.25}, {5, 0.01, 7}}));
  const auto special = parse_point_array("[(inf, -Infinity, NaN), (1e400, -1e400, 1e-400)]");
  ASSERT_TRUE(special);
  EXPECT_EQ((*special)[0][0], INFINITY);
  EXPECT_EQ((*special)[0][1], -INFINITY);
  EXPECT_TRUE(std::isnan((*special)[0][2]));
  EXPECT_EQ((*special)[1], (Vec3{INFINITY, -INFINITY, 0}));
  EXPECT_EQ(parse_point_array("[]"), std::vector<Vec3>{});
  for (const char* bad : {"[(1, 2)]", "[(1, 2, 3,)]", "[(1, 2, 3, 4)]", "[(1, 2, x)]", "[(1, 2, 3)", "[(1, 2, 3]",
                          "[(1, 2, 1e)]", "[(1, 2, nan(1))]", "[(1, 2, 0x1p3)]", "[(1, , 3)]", "None"}) {
    EXPECT_FALSE(parse_point_array(bad)) << bad;
  }
}

TEST(UsdaReader, ReadsTheFirstMeshBlock) {
  const std::string text = "#usda 1.0\r\n(\r\n  upAxis = \"Z\"\r\n)\r\ndef Xform \"w\" {\r\n def Mesh \"m\"\r\n {\r\n"
                           "  def Scope \"child\" { }\r\n" + kTriangleBody +
                           "\r\n }\r\n}\r\ndef Mesh \"second\" { int[] faceVertexCounts = [4] }";
  const MeshData mesh = read_usda_bytes(text);
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
  EXPECT_FALSE(mesh.uvs);
  EXPECT_FALSE(mesh.normals);
}

// Prim metadata between the name and the body may hold dictionaries in braces; strings and
// comments hold any braces.
TEST(UsdaReader, SkipsMetadataStringsAndCommentsAroundTheBlock) {
  const std::string text = "#usda 1.0\n(\n    doc = \"\"\"not a def Mesh \"m\" { here\"\"\"\n)\n"
                           "# def Mesh \"commented\" {}\n"
                           "def Mesh \"m\" (\n    customData = {\n        dictionary d = { int n = 1 }\n"
                           "        string note = \"a ) { brace\"\n    }\n    kind = 'x)'\n)\n{\n" +
                           kTriangleBody + "\n    custom string s = \"}\"  # } closes nothing\n"
                           "    asset a = @./odd}#name.usd@\n}\n";
  const MeshData mesh = read_usda_bytes(text);
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
  EXPECT_EQ(text_error("def MeshLight \"l\" {" + kTriangleBody + "}"), "USD parse error: no `def Mesh` found");
}

// Comments stand wherever white space may, inside values too; what they hold is never read.
TEST(UsdaReader, CommentsInValuesAreWhiteSpace) {
  const std::string body =
      "    int[] faceVertexCounts = [3, # 4\n]  // faceVertexCounts = [4]\n"
      "    int[] faceVertexIndices.timeSamples = {\n        # -1: [9],\n        0: [0, /* ] */ 1, 2], # }\n    }\n"
      "    point3f[] points = [(0, 0, 0), # (5, 5, 5)\n(1, /* 5, */ 0, 0), (0, 1, 0) // )\n]\n";
  const MeshData mesh = read_usda_bytes(mesh_text(body));
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
  // A slash may end the text; a comment that the text does not close runs to its end.
  EXPECT_EQ(text_error(mesh_text(kTriangleBody) + "/"), "no error");
  EXPECT_EQ(text_error(mesh_text(kTriangleBody) + "/* }"), "no error");
  EXPECT_EQ(text_error(mesh_text(kTriangleBody + "\n/* }")), "USD parse error: unclosed Mesh block");
}

TEST(UsdaReader, NestingDeeperThanTheLimitIsRefused) {
  const std::string deep = std::string(1001, '{') + std::string(1001, '}');
  EXPECT_EQ(text_error(mesh_text(kTriangleBody + deep)), "USD parse error: Mesh block nested deeper than 1000 levels");
  EXPECT_EQ(text_error(mesh_text(kTriangleBody + std::string(999, '{') + std::string(999, '}'))), "no error");
  EXPECT_EQ(text_error("def Mesh \"m\" " + std::string(1001, '(') + std::string(1001, ')') + " {}"),
            "USD parse error: Mesh block nested deeper than 1000 levels");
  // Prims within prims count alike; the parser keeps them on a stack of its own, not the call stack.
  std::string prims;
  for (int i = 0; i < 1000; ++i) prims = "def \"p\" {\n" + prims + "}\n";
  EXPECT_EQ(text_error(prims), "USD parse error: no `def Mesh` found");
  EXPECT_EQ(text_error("def Scope \"s\" {\n" + prims + "}\n"),
            "USD parse error: prim block nested deeper than 1000 levels");
}

// Rows measured with the reference library: each named child keeps the unnamed ones after it.
TEST(UsdTraversal, ReorderMovesNamedChildrenWithTheUnnamedOnesAfterThem) {
  using Names = std::vector<std::string_view>;
  const auto reordered = [](Names names, const Names& order) {
    apply_child_order(names, order);
    return names;
  };
  EXPECT_EQ(reordered({"X", "A", "Y", "B", "Z"}, {"B", "A"}), (Names{"X", "B", "Z", "A", "Y"}));
  EXPECT_EQ(reordered({"X", "A", "Y", "B", "Z"}, {"B", "Q", "X"}), (Names{"B", "Z", "X", "A", "Y"}));
  EXPECT_EQ(reordered({"A", "B", "C", "D"}, {"D", "B"}), (Names{"A", "D", "B", "C"}));
  EXPECT_EQ(reordered({"A", "B", "C"}, {"C"}), (Names{"A", "B", "C"}));
  EXPECT_EQ(reordered({"A", "B", "C"}, {"C", "A", "C"}), (Names{"C", "A", "B"})) << "a repeated name counts once";
}

TEST(UsdaReader, ValuesAreTheDefaultElseTheEarliestTimeSample) {
  const std::string samples =
      "    int[] faceVertexCounts.timeSamples = {\n        3: [3],\n    }\n"
      "    int[] faceVertexIndices.timeSamples = { 5: [0, 1, 2], 0: None, -2.5e-1: [0, 2, 1] }\n"
      "    point3f[] points.timeSamples = {\n        2: [(5, 5, 5), (6, 5, 5), (5, 6, 5)],\n"
      "        -1.5: [(7, 7, 7), (8, 7, 7), (7, 8, 7)],\n    }\n";
  MeshData mesh = read_usda_bytes(mesh_text(samples));
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{7, 7, 7}, {8, 7, 7}, {7, 8, 7}}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 2, 1}}));
  mesh = read_usda_bytes(mesh_text(samples + "    point3f[] points = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]\n"));
  EXPECT_EQ(mesh.positions[0], (Vec3{0, 0, 0}));
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts.timeSamples = { }\n")), "USD parse error: faceVertexCounts missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts.timeSamples = { x: [3] }\n")),
            "USD parse error: faceVertexCounts missing");
  // A block (None) at the earliest time leaves no value there; a blocked default leaves the samples.
  EXPECT_EQ(text_error(mesh_text(samples + "    point3f[] points.timeSamples = { -2: None }\n")),
            "USD parse error: points missing: its value is blocked (None)");
  EXPECT_EQ(text_error(mesh_text(samples + "    point3f[] points = None\n")), "no error");
  EXPECT_EQ(text_error(mesh_text(samples + "    point3f[] points = None\n    point3f[] points.timeSamples = {}\n")),
            "USD parse error: points missing: its value is blocked (None)");
}

TEST(UsdaReader, ReportsStructureErrorsInOrder) {
  EXPECT_EQ(text_error(""), "USD parse error: no `def Mesh` found");
  EXPECT_EQ(text_error("def Mesh \"m\""), "USD parse error: malformed Mesh block");
  EXPECT_EQ(text_error("def Mesh \"m\" { { }"), "USD parse error: unclosed Mesh block");
  EXPECT_EQ(text_error(mesh_text("points = [(0, 0, 0)]")), "USD parse error: faceVertexCounts missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [3, x]")), "USD parse error: faceVertexCounts missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [3]")), "USD parse error: faceVertexIndices missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [3] faceVertexIndices = [0, 1, 2]")),
            "USD parse error: points missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [3] faceVertexIndices = [0, 1, 2] points = [(0, 0)]")),
            "USD parse error: points missing");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [2] faceVertexIndices = [0, 1] points = []")),
            "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(text_error("def Xform \"w\" {\n def Mesh \"m\" {\n}\n def Scope \"m\" {\n}\n}\n"),
            "USD parse error: prim /w/m is defined twice");
  EXPECT_EQ(text_error("def Mesh \"m\" {\xff}"), "I/O error: stream did not contain valid UTF-8");
  EXPECT_EQ(text_error("\xed\xa0\x80"), "I/O error: stream did not contain valid UTF-8") << "a surrogate";
}

TEST(UsdaReader, RefusesIndicesPastThePoints) {
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [3] faceVertexIndices = [0, 1, 3] "
                                 "points = [(0, 0, 0), (1, 0, 0), (0, 1, 0)]")),
            "USD parse error: faceVertexIndices out of range");
  EXPECT_EQ(text_error(mesh_text("faceVertexCounts = [] faceVertexIndices = [7] points = []")), "no error");
}

TEST(UsdaReader, FlipsLeftHandedMeshes) {
  const std::string quad =
      "    int[] faceVertexCounts = [4]\n    int[] faceVertexIndices = [0, 1, 2, 3]\n"
      "    point3f[] points = [(0, 0, 0), (1, 0, 0), (1, 1, 0), (0, 1, 0)]\n";
  EXPECT_EQ(read_usda_bytes(mesh_text(quad + "    uniform token orientation = \"leftHanded\"")).triangles,
            (std::vector<Tri>{{0, 2, 1}, {0, 3, 2}}));
  EXPECT_EQ(read_usda_bytes(mesh_text("uniform token orientation=\"leftHanded\"\n" + quad)).triangles,
            (std::vector<Tri>{{0, 2, 1}, {0, 3, 2}}));
  for (const char* other : {"    uniform token orientation = \"rightHanded\"",
                            "    token myorientation = \"leftHanded\"",
                            "    custom string note = \"orientation\""}) {
    EXPECT_EQ(read_usda_bytes(mesh_text(quad + other)).triangles, (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}})) << other;
  }
}

TEST(UsdaWriter, WritesTheLayerLineByLine) {
  test::TempDir dir;
  MeshData mesh;
  mesh.positions = {{0, 0, 0}, {1.25, -0.5, 2}, {0.0000005, 1e-7, -3}};
  mesh.triangles = {{0, 1, 2}};
  write_usda(dir.file("m.usda"), mesh);
  EXPECT_EQ(test::read_text(dir.file("m.usda")),
            "#usda 1.0\n(\n    defaultPrim = \"proxy\"\n    metersPerUnit = 1\n    upAxis = \"Y\"\n)\n\n"
            "def Mesh \"proxy\"\n{\n    uniform token subdivisionScheme = \"none\"\n"
            "    uniform token purpose = \"proxy\"\n"
            "    float3[] extent = [(0.000000, -0.500000, -3.000000), (1.250000, 0.0000001, 2.000000)]\n"
            "    int[] faceVertexCounts = [3]\n    int[] faceVertexIndices = [0, 1, 2]\n"
            "    point3f[] points = [(0.000000, 0.000000, 0.000000), (1.250000, -0.500000, 2.000000), "
            "(0.0000005, 0.0000001, -3.000000)]\n}\n");

  write_usda(dir.file("empty.usda"), MeshData{});
  const std::string empty = test::read_text(dir.file("empty.usda"));
  EXPECT_NE(empty.find("extent = [(0.000000, 0.000000, 0.000000), (0.000000, 0.000000, 0.000000)]\n"),
            std::string::npos);
  EXPECT_NE(empty.find("faceVertexCounts = []\n    int[] faceVertexIndices = []\n    point3f[] points = []\n}"),
            std::string::npos);
}

TEST(UsdaWriter, WritesAttributesAsFaceVaryingPrimvars) {
  test::TempDir dir;
  MeshData mesh;
  mesh.positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  mesh.triangles = {{0, 1, 2}};
  mesh.normals = std::vector<Vec3>{{0, 0, 1}, {0, 0, -1}};  // written as given, not checked
  mesh.uvs = std::vector<Uv>{{0.5f, 0.1f}};
  write_usda(dir.file("m.usda"), mesh);
  const std::string text = test::read_text(dir.file("m.usda"));
  EXPECT_NE(text.find("    normal3f[] normals = [(0.000000, 0.000000, 1.000000), (0.000000, 0.000000, -1.000000)] (\n"
                      "        interpolation = \"faceVarying\"\n    )\n"
                      "    texCoord2f[] primvars:st = [(0.500000, 0.100000)] (\n"
                      "        interpolation = \"faceVarying\"\n    )\n}\n"),
            std::string::npos)
      << text;
}

TEST(UsdaWriter, SpellsNonFiniteNumbersAsUsdReadsThem) {
  test::TempDir dir;
  MeshData mesh;
  mesh.positions = {{std::nan(""), 1e300, -INFINITY}, {1, 0, 0}, {0, 1, 0}};
  mesh.triangles = {{0, 1, 2}};
  write_usda(dir.file("m.usda"), mesh);
  const std::string text = test::read_text(dir.file("m.usda"));
  // 1e300 is written with all the digits of its exact binary value.
  EXPECT_NE(text.find("(nan, 1000000000000000052504760255204420248704468581108159154915854115511802457988908195786"),
            std::string::npos);
  EXPECT_NE(text.find("0.000000, -inf), (1.000000, 0.000000, 0.000000)"), std::string::npos);
  EXPECT_NE(text.find("extent = [(0.000000, 0.000000, -inf), (1.000000, inf, 0.000000)]"), std::string::npos);
  const MeshData back = read_usd(dir.file("m.usda"));
  EXPECT_TRUE(std::isnan(back.positions[0][0]));
  EXPECT_EQ(back.positions[0][1], 1e300);
  EXPECT_EQ(back.positions[0][2], -INFINITY);
}

TEST(UsdaWriter, RoundTripsThroughTheTextReader) {
  test::TempDir dir;
  MeshData mesh;
  for (int i = 0; i < 50; ++i) mesh.positions.push_back({i / 7.0, -i * 1.0000004, 1e6 + i});
  for (uint32_t i = 0; i < 48; ++i) mesh.triangles.push_back({i, i + 2, i + 1});
  mesh.uvs = std::vector<Uv>(3 * 48, Uv{0.25f, 0.5f});
  write_usda(dir.file("m.usda"), mesh);
  const MeshData back = read_usd(dir.file("m.usda"));
  EXPECT_EQ(back.triangles, mesh.triangles);
  ASSERT_EQ(back.positions.size(), mesh.positions.size());
  for (std::size_t i = 0; i < mesh.positions.size(); ++i) {
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back.positions[i][k], mesh.positions[i][k], 5e-7);
  }
  EXPECT_FALSE(back.uvs);
}

TEST(UsdEntry, FirstBytesDecideTheReader) {
  test::TempDir dir;
  const std::string usdz =
      "USD parse error: usdz packages are not supported; unzip or run `usdcat in.usdz -o out.usdc` first";
  for (const char* name : {"a.usd", "a.usda", "a.usdc"}) {
    test::write_text(dir.file(name), std::string("PK\x03\x04", 4) + "def Mesh");
    EXPECT_EQ(error_of([&] { read_usd(dir.file(name)); }), usdz) << name;
  }
  test::write_text(dir.file("short.usd"), "P");
  EXPECT_EQ(error_of([&] { read_usd(dir.file("short.usd")); }), "USD parse error: no `def Mesh` found");
  test::write_text(dir.file("magic.usd"), "PXR-USD");
  EXPECT_EQ(error_of([&] { read_usd(dir.file("magic.usd")); }), "USD parse error: no `def Mesh` found");
  test::write_text(dir.file("header.usda"), "PXR-USDC");
  EXPECT_EQ(error_of([&] { read_usd(dir.file("header.usda")); }), "USD parse error: not a USD crate file");
  test::write_text(dir.file("text.usdc"), mesh_text(kTriangleBody));
  EXPECT_EQ(read_usd(dir.file("text.usdc")).triangles.size(), 1u);
  EXPECT_EQ(error_of([&] { read_usd(dir.file("missing.usd")); }),
            "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(error_of([&] { read_usd(dir.file(std::string("nul\0.usd", 8))); }),
            "I/O error: file name contained an unexpected NUL byte");
  EXPECT_EQ(error_of([&] { read_usd(dir.path()); }), "I/O error: Is a directory (os error 21)");
  EXPECT_EQ(error_of([&] { load_mesh(dir.file("a.usdz")); }), "unsupported format: usdz");
}

}  // namespace
}  // namespace morvane::io
