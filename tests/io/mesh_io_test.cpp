// Format choice by extension, the entry operations' refusals and the IoError texts.
#include "io/mesh_io.hpp"

#include <gtest/gtest.h>

#include "io/io_error.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

using test::TempDir;

std::string load_error(const std::string& path) {
  try {
    load_mesh(path);
  } catch (const IoError& e) {
    return e.what();
  }
  return "no error";
}

TEST(FormatFromExtension, MapsTheTable) {
  EXPECT_EQ(format_from_extension("a.obj"), MeshFormat::Obj);
  EXPECT_EQ(format_from_extension("a.glb"), MeshFormat::Gltf);
  EXPECT_EQ(format_from_extension("a.gltf"), MeshFormat::Gltf);
  EXPECT_EQ(format_from_extension("a.usda"), MeshFormat::Usda);
  EXPECT_EQ(format_from_extension("a.usd"), MeshFormat::Usdc);
  EXPECT_EQ(format_from_extension("a.usdc"), MeshFormat::Usdc);
  EXPECT_EQ(format_from_extension("a.usdz"), std::nullopt);
  EXPECT_EQ(format_from_extension("a.stl"), std::nullopt);
  // Case-sensitive.
  EXPECT_EQ(format_from_extension("a.OBJ"), std::nullopt);
  EXPECT_EQ(format_from_extension("a.Usd"), std::nullopt);
}

TEST(FormatFromExtension, TakesTheTextAfterTheLastDotOfTheFileName) {
  EXPECT_EQ(format_from_extension("a.b.obj"), MeshFormat::Obj);
  EXPECT_EQ(format_from_extension("dir.usd/mesh.obj"), MeshFormat::Obj);
  EXPECT_EQ(format_from_extension("dir.obj/mesh"), std::nullopt);
  EXPECT_EQ(format_from_extension("..obj"), MeshFormat::Obj);
  EXPECT_EQ(format_from_extension("mesh.obj/"), MeshFormat::Obj);
  EXPECT_EQ(format_from_extension("mesh.obj/."), MeshFormat::Obj);
}

TEST(FormatFromExtension, NamesWithoutExtension) {
  EXPECT_EQ(path_extension("dir/.obj"), std::nullopt);
  EXPECT_EQ(path_extension("mesh."), std::string_view(""));
  for (const char* path : {"", "/", ".", "a/.."}) EXPECT_EQ(path_extension(path), std::nullopt) << path;
}

TEST(LoadMesh, RefusesUnsupportedExtensionsWithTheirText) {
  // The directory does not exist: the refusal comes before any file system access.
  EXPECT_EQ(load_error("/nonexistent-dir/a.OBJ"), "unsupported format: OBJ");
  EXPECT_EQ(load_error("/nonexistent-dir/a.usdz"), "unsupported format: usdz");
  EXPECT_EQ(load_error("/nonexistent-dir/mesh"), "unsupported format: ");
  EXPECT_EQ(load_error("/nonexistent-dir/.obj"), "unsupported format: ");
  EXPECT_EQ(load_error("/nonexistent-dir/mesh."), "unsupported format: ");
}

TEST(LoadMesh, NonUtf8ExtensionIsReportedAsEmpty) {
  EXPECT_EQ(load_error("mesh.\xff\xfe"), "unsupported format: ");
  EXPECT_EQ(load_error("mesh.\xc3\xa9"), "unsupported format: \xc3\xa9");  // valid UTF-8 stays
  EXPECT_EQ(load_error("mesh.\xc0\xaf"), "unsupported format: ");          // overlong form
  try {
    load_mesh("a.txt");
    FAIL();
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::UnsupportedFormat);
  }
}

TEST(SaveMesh, UnsupportedExtensionCreatesNoFile) {
  TempDir dir;
  const std::vector<Vec3> positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<Tri> triangles = {{0, 1, 2}};
  for (const char* name : {"mesh.stl", "mesh.usdz", "mesh.OBJ", "mesh"}) {
    try {
      save_mesh_with_attributes(positions, triangles, std::vector<Uv>(3), std::nullopt, dir.file(name));
      FAIL() << name;
    } catch (const IoError& e) {
      EXPECT_EQ(e.kind(), IoError::Kind::UnsupportedFormat);
    }
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST(SaveMesh, SeveralDotsSaveAndLoadAsObj) {
  TempDir dir;
  const std::vector<Vec3> positions = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  const std::vector<Tri> triangles = {{0, 1, 2}};
  save_mesh(positions, triangles, dir.file("a.b.obj"));
  const MeshData loaded = load_mesh(dir.file("a.b.obj"));
  EXPECT_EQ(loaded.positions, positions);
  EXPECT_EQ(loaded.triangles, triangles);
  EXPECT_FALSE(loaded.uvs);
  EXPECT_FALSE(loaded.normals);
}

std::string save_error(std::span<const Vec3> positions, std::span<const Tri> triangles, const std::string& path) {
  try {
    save_mesh(positions, triangles, path);
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::MeshConstruction);
    return e.what();
  }
  return "no error";
}

// Nothing is written that load_mesh would refuse for its content, and an existing file stays.
TEST(SaveMesh, MeshesNoFileCanHoldAreRefusedBeforeTheFileIsTouched) {
  TempDir dir;
  const std::vector<Vec3> triangle_points = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
  for (const char* name : {"m.obj", "m.glb", "m.gltf", "m.usda", "m.usd", "m.usdc"}) {
    test::write_text(dir.file(name), "previous");
    EXPECT_EQ(save_error(triangle_points, std::vector<Tri>{{0, 1, 2}, {2, 1, 3}}, dir.file(name)),
              "mesh construction failed: invalid index 3 in face 1 (vertex count: 3)")
        << name;
    EXPECT_EQ(test::read_text(dir.file(name)), "previous") << name;
  }
  // A glTF accessor holds at least one element; the other formats store an empty mesh.
  const std::string empty = "mesh construction failed: empty mesh: no vertices or faces provided";
  for (const char* name : {"e.glb", "e.gltf"}) {
    EXPECT_EQ(save_error({}, {}, dir.file(name)), empty);
    EXPECT_EQ(save_error(triangle_points, {}, dir.file(name)), empty);
  }
  for (const char* name : {"e.obj", "e.usda", "e.usd"}) EXPECT_EQ(save_error({}, {}, dir.file(name)), "no error");
  EXPECT_EQ(load_mesh(dir.file("e.usd")).positions.size(), 0u);
  EXPECT_EQ(load_mesh(dir.file("e.usda")).positions.size(), 0u);
  EXPECT_EQ(dir.entries().size(), 9u);
}

TEST(IoErrorText, EachCaseHasItsFormat) {
  EXPECT_STREQ(IoError::unsupported_format("stl").what(), "unsupported format: stl");
  EXPECT_STREQ(IoError::io("boom").what(), "I/O error: boom");
  EXPECT_STREQ(IoError::from_errno(ENOENT).what(), "I/O error: No such file or directory (os error 2)");
  EXPECT_STREQ(IoError::obj_parse("open file failed").what(), "OBJ parse error: open file failed");
  EXPECT_STREQ(IoError::usd_parse("bad").what(), "USD parse error: bad");
  EXPECT_STREQ(IoError::mesh_too_large("vertex", 200000001, 200000000).what(),
               "mesh too large: vertex count 200000001 exceeds limit 200000000");
  const MeshError empty{MeshError::Kind::EmptyMesh};
  const IoError construction = IoError::mesh_construction(empty);
  EXPECT_EQ(construction.what(), "mesh construction failed: " + mesh_error_display(empty));
  EXPECT_EQ(construction.kind(), IoError::Kind::MeshConstruction);
  EXPECT_EQ(IoError::from_errno(EACCES).kind(), IoError::Kind::Io);
}

std::string limit_error(uint64_t vertices, uint64_t triangles) {
  try {
    check_limits(vertices, triangles);
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::MeshTooLarge);
    return e.what();
  }
  return "no error";
}

TEST(MeshLimits, CountsEqualToTheLimitsPassAndVerticesAreTestedFirst) {
  EXPECT_EQ(limit_error(MAX_VERTICES, MAX_TRIANGLES), "no error");
  EXPECT_EQ(limit_error(MAX_VERTICES + 1, 0), "mesh too large: vertex count 200000001 exceeds limit 200000000");
  EXPECT_EQ(limit_error(0, MAX_TRIANGLES + 1), "mesh too large: triangle count 400000001 exceeds limit 400000000");
  EXPECT_EQ(limit_error(UINT64_MAX, UINT64_MAX),
            "mesh too large: vertex count 18446744073709551615 exceeds limit 200000000");
}

}  // namespace
}  // namespace morvane::io
