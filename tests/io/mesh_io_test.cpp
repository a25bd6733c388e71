// Format choice by extension, the entry operations' refusals and the IoError texts.
#include "io/mesh_io.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <set>
#include <sstream>

#include "common/numeric.hpp"
#include "io/decimal_text.hpp"
#include "io/io_error.hpp"
#include "support/test_meshes.hpp"
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

std::array<uint32_t, 3> float_bits(const Vec3& v) {
  return {std::bit_cast<uint32_t>(narrow_to_float(v[0])), std::bit_cast<uint32_t>(narrow_to_float(v[1])),
          std::bit_cast<uint32_t>(narrow_to_float(v[2]))};
}

// The numbers of the USDA array that follows `name`, as written.
std::vector<std::string> usda_array_numbers(const std::string& text, const std::string& name) {
  const std::size_t open = text.find('[', text.find(name));
  std::string numbers = text.substr(open + 1, text.find(']', open) - open - 1);
  for (char& c : numbers) c = (c == '(' || c == ')' || c == ',') ? ' ' : c;
  std::istringstream words(numbers);
  std::vector<std::string> out;
  for (std::string word; words >> word;) out.push_back(word);
  return out;
}

// Parsed as a float, and as a double then rounded, the text gives `expected`.
void expect_reads_back_as(const std::string& text, float expected) {
  EXPECT_EQ(std::bit_cast<uint32_t>(parse_decimal_float(text).value()), std::bit_cast<uint32_t>(expected)) << text;
  EXPECT_EQ(std::bit_cast<uint32_t>(narrow_to_float(parse_decimal_double(text).value())),
            std::bit_cast<uint32_t>(expected))
      << text;
}

// A sphere two micrometres across, and a point at 4e-7: every format's file reads back the floats a
// crate or glTF file stores, so that no points merge and no face goes flat.
TEST(SaveMesh, TinyMeshesReadBackAsTheSameFloatsFromEveryFormat) {
  Mesh sphere = test::make_icosphere(3, 1e-6);
  sphere.positions[0] = {4e-7, -4e-7, 1e-9};
  std::vector<Vec3> normals;
  std::vector<Uv> uvs;
  for (const Tri& t : sphere.indices) {
    for (const uint32_t v : t) {
      const Vec3& p = sphere.positions[v];
      normals.push_back(p * (1 / length(p)));
      uvs.push_back({static_cast<float>(p[0] * 3e5 + 0.5), static_cast<float>(p[1] * 1e-3)});
    }
  }
  TempDir dir;
  for (const char* name : {"m.obj", "m.usda", "m.usdc", "m.glb", "m.gltf"}) {
    SCOPED_TRACE(name);
    save_mesh_with_attributes(sphere.positions, sphere.indices, uvs, normals, dir.file(name));
    const MeshData back = load_mesh(dir.file(name));
    ASSERT_EQ(back.triangles.size(), sphere.indices.size());
    for (std::size_t t = 0; t < back.triangles.size(); ++t) {  // the OBJ reader numbers vertices by first use
      for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(float_bits(back.positions[back.triangles[t][k]]), float_bits(sphere.positions[sphere.indices[t][k]]));
      }
    }
    std::set<std::array<uint32_t, 3>> distinct;
    for (const Vec3& p : back.positions) distinct.insert(float_bits(p));
    EXPECT_EQ(distinct.size(), 642u);
  }
  const MeshData obj = load_mesh(dir.file("m.obj"));
  EXPECT_EQ(obj.uvs, uvs);
  ASSERT_EQ(obj.normals->size(), normals.size());
  for (std::size_t i = 0; i < normals.size(); ++i) EXPECT_EQ(float_bits((*obj.normals)[i]), float_bits(normals[i]));
  // The text reader takes no attributes: their numbers are parsed here as a float or double parser would.
  const std::string usda = test::read_text(dir.file("m.usda"));
  const std::vector<std::string> normal_numbers = usda_array_numbers(usda, "normals =");
  const std::vector<std::string> uv_numbers = usda_array_numbers(usda, "primvars:st =");
  ASSERT_EQ(normal_numbers.size(), 3 * normals.size());
  ASSERT_EQ(uv_numbers.size(), 2 * uvs.size());
  for (std::size_t i = 0; i < normal_numbers.size(); ++i) {
    expect_reads_back_as(normal_numbers[i], narrow_to_float(normals[i / 3][i % 3]));
  }
  for (std::size_t i = 0; i < uv_numbers.size(); ++i) expect_reads_back_as(uv_numbers[i], uvs[i / 2][i % 2]);
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
