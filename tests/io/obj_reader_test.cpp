// Reading OBJ text: triangulation, index resolution, models and their merge, attributes, files, limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  EXPECT_EQ(parse_error(square + "vt 0 0\nf 1/1 2/2 3/1\n"), "OBJ parse error: face texcoord index out of bounds");
  EXPECT_EQ(parse_error(square + "vn 0 0 1\nf 1//1 2//1 3//-2\n"), "OBJ parse error: face normal index out of bounds");
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
