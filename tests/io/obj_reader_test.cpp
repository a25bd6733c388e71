// Reading OBJ text: numbers, triangulation, index resolution, models and their merge, attributes,
// files, limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>

#include "io/io_error.hpp"
#include "io/obj.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

using test::TempDir;

const char* const kSquare = "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n";

std::string parse_error(std::string_view text, const MeshLimits& limits = {}) {
  try {
    parse_obj(text, limits);
  } catch (const IoError& e) {
    return e.what();
  }
  return "no error";
}

const char* const kFace = "f 1 2 3\n";

TEST(ObjReadNumbers, CoordinatesAreReadWholeOrRefused) {
  for (const std::string line : {"v 1,5 2,5 3,5", "v 1 2", "v a b c", "v 0x10 0 0", "v 1e 0 0", "v 1.5.2 0 0", "v",
                                  "v nan(1) 0 0", "v 1 2 3x", "v - 0 0"}) {
    EXPECT_EQ(parse_error(line + "\n" + kSquare + kFace), "OBJ parse error: position parse error") << line;
  }
  EXPECT_EQ(parse_error(std::string("v 1\0 2 3\n", 9) + kSquare + kFace), "OBJ parse error: position parse error");
  for (const char* line : {"vt", "vt ,", "vt 0.5 ,", "vt 0.5 0.5.5"}) {
    EXPECT_EQ(parse_error(std::string(kSquare) + line + "\n" + kFace), "OBJ parse error: texcoord parse error")
        << line;
  }
  EXPECT_EQ(parse_error(std::string(kSquare) + "vn 0 0\n" + kFace), "OBJ parse error: normal parse error");
  EXPECT_EQ(parse_error(std::string(kSquare) + "vn 0 0 1;\n" + kFace), "OBJ parse error: normal parse error");
}

// A texture coordinate is u, an optional v (0 when absent) and an optional w that is not kept.
TEST(ObjReadNumbers, TexcoordsHaveOneToThreeComponents) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "vt 0.25\nvt 0.5 0.75\nvt 0.125 0.375 0.9\r\n" +
                                  "f 1/1 2/2 3/3\n");
  ASSERT_TRUE(mesh.uvs.has_value());
  EXPECT_EQ(*mesh.uvs, (std::vector<Uv>{{0.25f, 0.0f}, {0.5f, 0.75f}, {0.125f, 0.375f}}));
}

TEST(ObjReadNumbers, ValuesAreExactWithTheirSpellingsOfInfinityAndNaN) {
  const MeshData mesh = parse_obj(
      "v nan inf -inf\nv NaN +Infinity -INF\nv 0.1 1e39 -1e-50\nv +.5 5. 1.17549435e-38\n"
      "v 16777217 0.30000001192092896 1e-45 # a comment and a w\nf 1 2 3 4 5\n");
  const double inf = std::numeric_limits<double>::infinity();
  ASSERT_EQ(mesh.positions.size(), 5u);
  EXPECT_TRUE(std::isnan(mesh.positions[0][0]) && std::isnan(mesh.positions[1][0]));
  EXPECT_EQ(mesh.positions[0][1], inf);
  EXPECT_EQ(mesh.positions[1][1], inf);
  EXPECT_EQ(mesh.positions[1][2], -inf);
  // Correctly rounded to float, then widened: out of range becomes an infinity or a signed zero.
  EXPECT_EQ(mesh.positions[2], (Vec3{0.1f, inf, -0.0}));
  EXPECT_TRUE(std::signbit(mesh.positions[2][2]));
  EXPECT_EQ(mesh.positions[3], (Vec3{0.5, 5, 1.17549435e-38f}));
  EXPECT_EQ(mesh.positions[4], (Vec3{16777216.0, 0.3f, 1e-45f}));
}

TEST(ObjReadPolygons, QuadBecomesTwoTrianglesOfAFan) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "f 1 2 3 4\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}}));
  EXPECT_EQ(mesh.positions.size(), 4u);
  EXPECT_EQ(mesh.positions[2], (Vec3{1, 1, 0}));
}

TEST(ObjReadPolygons, LargerPolygonIsAFanFromItsFirstCorner) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "v 0.5 2 0\nv 0.5 3 0\nf 1 2 3 5 6 4\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}, {0, 3, 4}, {0, 4, 5}}));
}

TEST(ObjReadPolygons, FacesWithFewerThanThreeCornersCarryNoTriangle) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "f 1 2\nf 4\nl 1 2 3\np 1\nf 1 2 3\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
  EXPECT_EQ(mesh.positions.size(), 3u);
  EXPECT_EQ(parse_error(std::string(kSquare) + "f 1 2\n"), "OBJ parse error: no meshes found in OBJ file");
}

TEST(ObjReadIndices, NegativeIndicesCountBackFromTheListsSoFar) {
  const MeshData mesh = parse_obj("v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.25 0.5\nvn 0 0 1\nf -3/-1/-1 -2/-1/-1 -1/-1/-1\n"
                                  "v 5 5 5\nf -4 -3 -1\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {0, 1, 3}}));
  EXPECT_EQ(mesh.positions[3], (Vec3{5, 5, 5}));
  ASSERT_TRUE(mesh.uvs);
  EXPECT_EQ((*mesh.uvs)[2], (Uv{0.25f, 0.5f}));
  EXPECT_EQ((*mesh.uvs)[3], (Uv{0.0f, 0.0f}));
}

TEST(ObjReadIndices, IndexZeroOrBeyondTheListsIsRefused) {
  const std::string square = kSquare;
  EXPECT_EQ(parse_error(square + "f 1 2 0\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "f 1 2 5\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "f 1 2 -5\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "f 1 2 99999999999\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "f 1 2 4294967297\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "f 1 2 -4294967295\n"), "OBJ parse error: face vertex index out of bounds");
  // Index 0 names nothing, even when a vertex follows the face.
  EXPECT_EQ(parse_error("v 0 0 0\nv 1 0 0\nf 1 2 0\nv 0 1 0\n"), "OBJ parse error: face vertex index out of bounds");
  EXPECT_EQ(parse_error(square + "vt 0 0\nf 1/1 2/2 3/1\n"), "OBJ parse error: face texcoord index out of bounds");
  EXPECT_EQ(parse_error(square + "vn 0 0 1\nf 1//1 2//1 3//-2\n"), "OBJ parse error: face normal index out of bounds");
}

TEST(ObjReadIndices, ItemsThatAreNoIndicesAreFaceParseErrors) {
  const std::string square = std::string(kSquare) + "vt 0 0\nvn 0 0 1\n";
  for (const char* face : {"f 1 2 99999999999999999999", "f 1 2 3 # note", "f 1 2 3x", "f 1 2 +", "f 1/1/1/1 2 3",
                           "f /1 2 3", "f 1/0 2/1 3/1", "f 1//0 2//1 3//1", "f 1/-0 2 3", "f 1 2 3,", "f 1.0 2 3"}) {
    EXPECT_EQ(parse_error(square + face + "\n"), "OBJ parse error: face parse error") << face;
  }
  // A texture coordinate index of 0 is refused even where the file has no texture coordinates.
  EXPECT_EQ(parse_error(std::string(kSquare) + "f 1/0 2/0 3/0\n"), "OBJ parse error: face parse error");
  const MeshData mesh = parse_obj(square + "f +1/+1/+1 2/ 3//\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
}

TEST(ObjReadIndices, VertexDefinedLaterInTheSameModelIsAccepted) {
  const MeshData mesh = parse_obj("v 0 0 0\nv 1 0 0\nf 1 2 3\nv 0 1 0\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}}));
  EXPECT_EQ(mesh.positions[2], (Vec3{0, 1, 0}));
  // A later model closes the first one before the vertex is read.
  EXPECT_EQ(parse_error("v 0 0 0\nv 1 0 0\nf 1 2 3\no b\nv 0 1 0\n"),
            "OBJ parse error: face vertex index out of bounds");
}

TEST(ObjReadModels, EachModelHasItsOwnPositionsInFirstUseOrder) {
  const MeshData mesh =
      parse_obj(std::string(kSquare) + "v 9 9 9\no first\nf 3 2 1\no second\nf 2 3 4\ng third\nf 1 2 4\n");
  // The unused vertex 5 is dropped; shared vertices are repeated per model.
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{1, 1, 0}, {1, 0, 0}, {0, 0, 0},  // first
                                               {1, 0, 0}, {1, 1, 0}, {0, 1, 0},  // second, shifted by 3
                                               {0, 0, 0}, {1, 0, 0}, {0, 1, 0}}));
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {3, 4, 5}, {6, 7, 8}}));
}

TEST(ObjReadModels, ObjectLineWithoutFacesStartsNoModel) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "o empty\no full\nf 1 2 3\ng\ng a b\nf 1 3 4\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {3, 4, 5}}));
}

TEST(ObjReadAttributes, OnlyPositionsAndFacesGiveNoAttributes) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "f 1 2 3\n");
  EXPECT_FALSE(mesh.uvs);
  EXPECT_FALSE(mesh.normals);
}

TEST(ObjReadAttributes, SecondModelWithNormalsGivesZerosToTheFirst) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "o a\nf 1 2 3 4\no b\nvn 0 0 1\nvn 0 1 0\nf 1//2 2//1 3//2\n");
  ASSERT_TRUE(mesh.normals);
  EXPECT_FALSE(mesh.uvs);
  ASSERT_EQ(mesh.normals->size(), mesh.triangles.size() * 3);
  for (int c = 0; c < 6; ++c) EXPECT_EQ((*mesh.normals)[c], (Vec3{0, 0, 0}));
  EXPECT_EQ((*mesh.normals)[6], (Vec3{0, 1, 0}));
  EXPECT_EQ((*mesh.normals)[7], (Vec3{0, 0, 1}));
  EXPECT_EQ((*mesh.normals)[8], (Vec3{0, 1, 0}));
}

TEST(ObjReadAttributes, CornersWithoutTextureIndexGetZeros) {
  // The second face has no texture indices; in the third only the middle corner has one.
  const MeshData mesh =
      parse_obj(std::string(kSquare) + "vt 0.5 0.25\nvt 1 0.75\nf 1/1 2/2 3/1\nf 1 3 4\nf 2 3/2 4\n");
  ASSERT_TRUE(mesh.uvs);
  EXPECT_EQ(*mesh.uvs, (std::vector<Uv>{{0.5f, 0.25f}, {1, 0.75f}, {0.5f, 0.25f}, {0, 0}, {0, 0}, {0, 0},
                                        {0, 0}, {1, 0.75f}, {0, 0}}));
}

TEST(ObjReadAttributes, IndicesIntoListsTheFileDoesNotHaveAreIgnored) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "f 1/1/1 2/2/2 3/3/3\n");
  EXPECT_EQ(mesh.triangles.size(), 1u);
  EXPECT_FALSE(mesh.uvs);
  EXPECT_FALSE(mesh.normals);
}

TEST(ObjReadAttributes, QuadCornersCarryTheirAttributesIntoBothTriangles) {
  const MeshData mesh = parse_obj(std::string(kSquare) +
                                  "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nvn 0 0 1\nvn 0 0 -1\n"
                                  "f 1/1/1 2/2/2 3/3/1 4/4/2\n");
  ASSERT_TRUE(mesh.uvs && mesh.normals);
  EXPECT_EQ(*mesh.uvs, (std::vector<Uv>{{0, 0}, {1, 0}, {1, 1}, {0, 0}, {1, 1}, {0, 1}}));
  EXPECT_EQ(*mesh.normals,
            (std::vector<Vec3>{{0, 0, 1}, {0, 0, -1}, {0, 0, 1}, {0, 0, 1}, {0, 0, 1}, {0, 0, -1}}));
}

TEST(ObjReadText, LineEndingsDoNotMatter) {
  const std::string lf = "# c\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0.5 0.5\nf 1/1 2/1 3/1\n";
  std::string crlf, cr;
  for (const char c : lf) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  const MeshData a = parse_obj(lf), b = parse_obj(crlf), c = parse_obj(cr);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.triangles, b.triangles);
  EXPECT_EQ(a.uvs, b.uvs);
  EXPECT_EQ(a.positions, c.positions);
  EXPECT_EQ(a.uvs, c.uvs);
}

TEST(ObjReadText, ByteOrderMarkIsSkipped) {
  const MeshData mesh = parse_obj(std::string("\xEF\xBB\xBF") + kSquare + "f 1 2 3\n");
  EXPECT_EQ(mesh.positions, (std::vector<Vec3>{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}}));
  // Only at the very start: elsewhere it is a word like any other.
  EXPECT_EQ(parse_error(std::string(kSquare) + "\xEF\xBB\xBF" "f 1 2 3\n"),
            "OBJ parse error: no meshes found in OBJ file");
}

TEST(ObjReadText, MaterialLibrariesAreNeitherOpenedNorRequired) {
  const MeshData mesh = parse_obj(std::string("mtllib /nonexistent/missing.mtl\nusemtl red\n") + kSquare +
                                  "f 1 2 3\nusemtl blue\nf 1 3 4\n");
  EXPECT_EQ(mesh.triangles, (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}}));
}

TEST(ObjReadText, EmptyOrFacelessTextHasNoMeshes) {
  EXPECT_EQ(parse_error(""), "OBJ parse error: no meshes found in OBJ file");
  EXPECT_EQ(parse_error(kSquare), "OBJ parse error: no meshes found in OBJ file");
}

TEST(ObjReadFiles, UnopenableFilesAreObjParseErrors) {
  TempDir dir;
  const std::string nul_path = dir.file("a") + std::string(1, '\0') + "b.obj";
  ASSERT_EQ(mkfifo(dir.file("fifo.obj").c_str(), 0666), 0);
  for (const std::string& path : {dir.file("missing.obj"), dir.path(), nul_path, dir.file("fifo.obj")}) {
    try {
      read_obj(path);
      FAIL() << path;
    } catch (const IoError& e) {
      EXPECT_EQ(e.kind(), IoError::Kind::ObjParse);
      EXPECT_STREQ(e.what(), "OBJ parse error: open file failed");
    }
  }
}

// A file is read in pieces of whole lines: lines across piece boundaries, a "\r\n" split between
// pieces and a line longer than a piece read as the same text in memory does.
TEST(ObjReadFiles, LongFilesReadAsTheirTextDoes) {
  std::string text = "\xEF\xBB\xBF";
  for (int i = 0; i < 40000; ++i) {
    text += "v " + std::to_string(i) + ".25 -" + std::to_string(i % 7) + " 1e-3\r\nvt 0.5 " + std::to_string(i % 3) +
            "\r";
    if (i >= 2) text += "f -1/-1 -2/-1 -3/-1\r\n";
  }
  text += "f";
  for (int i = 1; i <= 200000; ++i) text += " " + std::to_string(i % 40000 + 1);
  TempDir dir;
  test::write_text(dir.file("long.obj"), text);
  const MeshData from_file = read_obj(dir.file("long.obj"));
  const MeshData from_text = parse_obj(text);
  EXPECT_EQ(from_file.triangles.size(), 39998u + 199998u);
  EXPECT_EQ(from_file.positions, from_text.positions);
  EXPECT_EQ(from_file.triangles, from_text.triangles);
  EXPECT_EQ(from_file.uvs, from_text.uvs);
}

TEST(ObjReadLimits, CountsEqualToTheLimitsPass) {
  const MeshData mesh = parse_obj(std::string(kSquare) + "f 1 2 3 4\n", MeshLimits{4, 2});
  EXPECT_EQ(mesh.triangles.size(), 2u);
}

TEST(ObjReadLimits, MergedCountsAboveTheLimitsAreRefused) {
  // Two models that share all vertices: 8 merged positions from 4 in the file.
  const std::string two = std::string(kSquare) + "o a\nf 1 2 3 4\no b\nf 1 2 3 4\n";
  EXPECT_EQ(parse_error(two, MeshLimits{7, 100}), "mesh too large: vertex count 8 exceeds limit 7");
  EXPECT_EQ(parse_error(two, MeshLimits{8, 3}), "mesh too large: triangle count 4 exceeds limit 3");
  EXPECT_EQ(parse_error(two, MeshLimits{7, 3}), "mesh too large: vertex count 8 exceeds limit 7");
}

TEST(ObjReadLimits, LongPolygonIsCountedWholeAfterStoringStops) {
  std::string polygon = "v 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\nf";
  for (int i = 0; i < 100002; ++i) polygon += " " + std::to_string(i % 3 + 1) + "/1/1";
  EXPECT_EQ(parse_error(polygon + "\n", MeshLimits{3, 10}), "mesh too large: triangle count 100000 exceeds limit 10");
  // An index error after the limit is passed is still found.
  EXPECT_EQ(parse_error(polygon + " 4\n", MeshLimits{3, 10}), "OBJ parse error: face vertex index out of bounds");
}

}  // namespace
}  // namespace morvane::io
