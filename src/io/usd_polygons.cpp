#include "usd_polygons.hpp"

#include "core/run_context.hpp"
#include "io_error.hpp"

namespace morvane::io {

namespace {

struct PolygonScan {
  uint64_t triangle_count = 0;
  uint64_t max_index = 0;  // largest vertex index of any triangle; 0 when there are none
};

// Validates every polygon in order and counts the triangles, storing nothing.
template <class I>
PolygonScan scan(std::span<const I> counts, std::span<const I> indices) {
  PolygonScan result;
  const uint64_t index_count = indices.size();
  uint64_t offset = 0;
  StopPoll poll;
  for (const I count : counts) {
    poll.tick();
    const int64_t c = count;
    if (c < 3 || static_cast<uint64_t>(c) > index_count) throw IoError::usd_parse("bad faceVertexCounts entry");
    if (offset + static_cast<uint64_t>(c) > index_count) throw IoError::usd_parse("faceVertexIndices truncated");
    for (uint64_t k = offset; k < offset + static_cast<uint64_t>(c); ++k) {
      const int64_t v = indices[k];
      if (v < 0 || v > int64_t{UINT32_MAX}) throw IoError::usd_parse("vertex index out of range");
      if (static_cast<uint64_t>(v) > result.max_index) result.max_index = static_cast<uint64_t>(v);
    }
    result.triangle_count += static_cast<uint64_t>(c) - 2;
    offset += static_cast<uint64_t>(c);
  }
  return result;
}

// Only for polygons that `scan` accepted.
template <class I>
std::vector<Tri> fan(std::span<const I> counts, std::span<const I> indices, uint64_t triangle_count,
                     bool left_handed) {
  std::vector<Tri> triangles(triangle_count);
  std::size_t t = 0, offset = 0;
  StopPoll poll;
  for (const I count : counts) {
    poll.tick();
    const auto c = static_cast<std::size_t>(count);
    const auto first = static_cast<uint32_t>(indices[offset]);
    for (std::size_t k = 1; k + 1 < c; ++k) {
      const auto b = static_cast<uint32_t>(indices[offset + k]);
      const auto d = static_cast<uint32_t>(indices[offset + k + 1]);
      triangles[t++] = left_handed ? Tri{first, d, b} : Tri{first, b, d};
    }
    offset += c;
  }
  return triangles;
}

template <class I>
std::vector<Tri> to_triangles(std::span<const I> counts, std::span<const I> indices, uint64_t point_count,
                              bool left_handed, const MeshLimits* limits) {
  const PolygonScan found = scan(counts, indices);
  if (found.triangle_count > 0 && found.max_index >= point_count) {
    throw IoError::usd_parse("faceVertexIndices out of range");
  }
  if (limits) check_limits(point_count, found.triangle_count, *limits);
  return fan(counts, indices, found.triangle_count, left_handed);
}

}  // namespace

std::vector<Tri> triangulate_polygons(std::span<const int64_t> counts, std::span<const int64_t> indices) {
  return fan(counts, indices, scan(counts, indices).triangle_count, false);
}

std::vector<Tri> polygons_to_triangles(std::span<const int64_t> counts, std::span<const int64_t> indices,
                                       uint64_t point_count, bool left_handed, const MeshLimits* limits) {
  return to_triangles(counts, indices, point_count, left_handed, limits);
}

std::vector<Tri> polygons_to_triangles(std::span<const int32_t> counts, std::span<const int32_t> indices,
                                       uint64_t point_count, bool left_handed, const MeshLimits* limits) {
  return to_triangles(counts, indices, point_count, left_handed, limits);
}

}  // namespace morvane::io
