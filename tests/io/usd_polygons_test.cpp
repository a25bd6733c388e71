// Fan triangulation of USD polygon lists and the readers' checks around it.
#include <gtest/gtest.h>

#include "io/io_error.hpp"
#include "io/usd_polygons.hpp"

namespace morvane::io {
namespace {

using Ints = std::vector<int64_t>;

std::string triangulation_error(const Ints& counts, const Ints& indices) {
  try {
    triangulate_polygons(counts, indices);
  } catch (const IoError& e) {
    EXPECT_EQ(e.kind(), IoError::Kind::UsdParse);
    return e.what();
  }
  return "no error";
}

TEST(UsdTriangulation, FansShareThePolygonsFirstCorner) {
  EXPECT_EQ(triangulate_polygons(Ints{4}, Ints{0, 1, 2, 3}), (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}}));
  EXPECT_EQ(triangulate_polygons(Ints{5}, Ints{9, 8, 7, 6, 5}), (std::vector<Tri>{{9, 8, 7}, {9, 7, 6}, {9, 6, 5}}));
  EXPECT_EQ(triangulate_polygons(Ints{3, 4}, Ints{0, 1, 2, 3, 4, 5, 6}),
            (std::vector<Tri>{{0, 1, 2}, {3, 4, 5}, {3, 5, 6}}));
  EXPECT_EQ(triangulate_polygons(Ints{3}, Ints{0, 1, 2, 3}), (std::vector<Tri>{{0, 1, 2}})) << "extra index ignored";
  EXPECT_TRUE(triangulate_polygons(Ints{}, Ints{1, 2}).empty());
  EXPECT_EQ(triangulate_polygons(Ints{3}, Ints{4294967295, 0, 1}), (std::vector<Tri>{{4294967295u, 0, 1}}));
}

TEST(UsdTriangulation, ReportsTheFirstProblemPolygonByPolygon) {
  EXPECT_EQ(triangulation_error({2}, {0, 1}), "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(triangulation_error({4}, {0, 1, 2}), "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(triangulation_error({INT64_MAX}, {0, 1, 2}), "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(triangulation_error({3, 3}, {0, 1, 2, 3, 4}), "USD parse error: faceVertexIndices truncated");
  EXPECT_EQ(triangulation_error({3}, {0, -1, 2}), "USD parse error: vertex index out of range");
  EXPECT_EQ(triangulation_error({3}, {0, 1, 4294967296}), "USD parse error: vertex index out of range");
  EXPECT_EQ(triangulation_error({4, 1}, {0, 1, 2, -5, 0}), "USD parse error: vertex index out of range");
  EXPECT_EQ(triangulation_error({3, 1}, {0, 1, 2, -5}), "USD parse error: bad faceVertexCounts entry");
}

TEST(UsdTriangulation, ReaderChecksComeInOrderBeforeAnyTriangleIsMade) {
  const auto error_of = [](const Ints& counts, const Ints& indices, uint64_t points, MeshLimits limits) {
    try {
      polygons_to_triangles(counts, indices, points, false, &limits);
    } catch (const IoError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(error_of({3}, {0, 1, 3}, 3, {}), "USD parse error: faceVertexIndices out of range");
  EXPECT_EQ(error_of({3, 2}, {0, 1, 3, 0, 1}, 3, {}), "USD parse error: bad faceVertexCounts entry");
  EXPECT_EQ(error_of({3}, {0, 1, 3}, 3, {1, 0}), "USD parse error: faceVertexIndices out of range");
  EXPECT_EQ(error_of({3}, {0, 1, 2}, 3, {2, 0}), "mesh too large: vertex count 3 exceeds limit 2");
  EXPECT_EQ(error_of({5}, {0, 1, 2, 1, 0}, 3, {3, 2}), "mesh too large: triangle count 3 exceeds limit 2");
  EXPECT_EQ(error_of({}, {}, 0, {0, 0}), "no error");

  const std::vector<int32_t> counts = {4, 3};
  const std::vector<int32_t> indices = {0, 1, 2, 3, 3, 2, 1};
  EXPECT_EQ(polygons_to_triangles(counts, indices, 4, true, nullptr),
            (std::vector<Tri>{{0, 2, 1}, {0, 3, 2}, {3, 1, 2}}));
  EXPECT_EQ(polygons_to_triangles(counts, indices, 4, false, nullptr),
            (std::vector<Tri>{{0, 1, 2}, {0, 2, 3}, {3, 2, 1}}));
}

}  // namespace
}  // namespace morvane::io
