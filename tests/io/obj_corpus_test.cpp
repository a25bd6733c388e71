// Every input of the OBJ fuzzer's corpus, crash regressions included, parses to a valid mesh or an IoError.
#include <gtest/gtest.h>

#include <filesystem>

#include "io/io_error.hpp"
#include "io/obj.hpp"
#include "temp_dir.hpp"

namespace morvane::io {
namespace {

TEST(ObjCorpus, EveryInputGivesAValidMeshOrAnIoError) {
  const std::filesystem::path corpus = std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/obj";
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    SCOPED_TRACE(entry.path().string());
    const std::string text = test::read_text(entry.path());
    ++inputs;
    try {
      const MeshData mesh = parse_obj(text, MeshLimits{1u << 20, 1u << 20});
      if (mesh.uvs) EXPECT_EQ(mesh.uvs->size(), mesh.triangles.size() * 3);
      if (mesh.normals) EXPECT_EQ(mesh.normals->size(), mesh.triangles.size() * 3);
      for (const Tri& t : mesh.triangles) {
        for (const uint32_t v : t) EXPECT_LT(v, mesh.positions.size());
      }
    } catch (const IoError& e) {
      EXPECT_NE(e.kind(), IoError::Kind::Io);
    }
  }
  EXPECT_GE(inputs, 7);
}

}  // namespace
}  // namespace morvane::io
