// Attribute transfer by nearest input vertex. Per-vertex tables of the input take its faces in
// face order (their sums must round the same way on every run); each proxy vertex is looked up
// once, in parallel, and the corner fills copy from it.
#include "attribute_transfer.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "mesh_error.hpp"
#include "mesh_measures.hpp"
#include "parallel.hpp"
#include "point_grid.hpp"

namespace morvane {
namespace {

using Nearest = std::vector<std::optional<uint32_t>>;

// The input's per-vertex normals: its corner normals summed per vertex when it has a normal
// list, else its area-weighted face normals (faces naming a missing vertex left out); normalised,
// (0, 1, 0) where nothing usable arrived.
std::vector<Vec3> input_vertex_normals(std::span<const Vec3> positions, std::span<const Tri> triangles,
                                       std::optional<std::span<const Vec3>> corner_normals) {
  const std::size_t n = positions.size();
  std::vector<Vec3> normals;
  if (corner_normals) {
    normals.assign(n, Vec3{0, 0, 0});
    StopPoll poll;
    for (std::size_t i = 0; i < triangles.size(); ++i) {
      poll.tick();
      const Tri& t = triangles[i];
      for (std::size_t k = 0; k < 3; ++k) {
        if (3 * i + k < corner_normals->size() && t[k] < n) normals[t[k]] += (*corner_normals)[3 * i + k];
      }
    }
  } else {
    std::vector<uint8_t> names_missing_vertex(triangles.size());
    parallel_for_each_index(0, triangles.size(), [&](std::size_t i) {
      names_missing_vertex[i] = std::ranges::any_of(triangles[i], [&](uint32_t v) { return v >= n; });
    });
    normals = vertex_normal_sums(positions, triangles, names_missing_vertex);
  }
  normalise_vertex_normals(normals, Vec3{0, 1, 0});
  return normals;
}

// The input's per-vertex texture coordinates: the first corner in face order wins; a vertex no
// corner reaches keeps (0, 0).
std::vector<Uv> input_vertex_uvs(std::size_t vertex_count, std::span<const Tri> triangles,
                                 std::span<const Uv> corner_uvs) {
  std::vector<Uv> uvs(vertex_count, Uv{0, 0});
  std::vector<uint8_t> seen(vertex_count, 0);
  StopPoll poll;
  for (std::size_t i = 0; i < triangles.size(); ++i) {
    poll.tick();
    for (std::size_t k = 0; k < 3; ++k) {
      const uint32_t v = triangles[i][k];
      if (v < vertex_count && 3 * i + k < corner_uvs.size() && !seen[v]) {
        uvs[v] = corner_uvs[3 * i + k];
        seen[v] = 1;
      }
    }
  }
  return uvs;
}

// The nearest input vertex of every proxy vertex that some proxy face uses.
Nearest nearest_input_vertices(std::span<const Vec3> input_positions, std::span<const Vec3> proxy_positions,
                               std::span<const Tri> proxy_triangles) {
  std::vector<uint8_t> used(proxy_positions.size(), 0);
  parallel_for_each_index(0, proxy_triangles.size(), [&](std::size_t f) {
    for (uint32_t v : proxy_triangles[f]) std::atomic_ref<uint8_t>(used[v]).store(1, std::memory_order_relaxed);
  });
  const PointGrid grid = build_point_grid(input_positions);
  Nearest nearest(proxy_positions.size());
  parallel_for_each_index(0, proxy_positions.size(), [&](std::size_t v) {
    if (used[v]) nearest[v] = point_grid_nearest(grid, proxy_positions[v]);
  }, 256);
  return nearest;
}

template <class T>
void transfer_face_body(std::size_t f, std::span<const Tri> proxy_triangles, const Nearest& nearest,
                        const std::vector<T>& vertex_values, std::vector<T>& out) {
  for (std::size_t k = 0; k < 3; ++k) {
    if (const std::optional<uint32_t> i = nearest[proxy_triangles[f][k]]) out[3 * f + k] = vertex_values[*i];
  }
}

void normal_transfer_face_body(std::size_t f, std::span<const Tri> proxy_triangles, const Nearest& nearest,
                               const std::vector<Vec3>& vertex_normals, std::vector<Vec3>& out) {
  transfer_face_body(f, proxy_triangles, nearest, vertex_normals, out);
}

void uv_transfer_face_body(std::size_t f, std::span<const Tri> proxy_triangles, const Nearest& nearest,
                           const std::vector<Uv>& vertex_uvs, std::vector<Uv>& out) {
  transfer_face_body(f, proxy_triangles, nearest, vertex_uvs, out);
}

}  // namespace

TransferredAttributes transfer_attributes(std::span<const Vec3> input_positions, std::span<const Tri> input_triangles,
                                          std::optional<std::span<const Vec3>> input_normals,
                                          std::optional<std::span<const Uv>> input_uvs,
                                          std::span<const Vec3> proxy_positions,
                                          std::span<const Tri> proxy_triangles, bool transfer_normals,
                                          bool transfer_uvs) {
  require_valid_indices(proxy_positions.size(), proxy_triangles);
  const bool uvs_transferred = transfer_uvs && input_uvs.has_value();
  TransferredAttributes result;
  if (!transfer_normals && !uvs_transferred) {
    result.normals = detail::area_weighted_normals(proxy_positions, proxy_triangles);
    return result;
  }

  const std::vector<Vec3> vertex_normals = input_vertex_normals(input_positions, input_triangles, input_normals);
  std::vector<Uv> vertex_uvs;
  if (uvs_transferred) vertex_uvs = input_vertex_uvs(input_positions.size(), input_triangles, *input_uvs);

  const Nearest nearest = nearest_input_vertices(input_positions, proxy_positions, proxy_triangles);
  const std::size_t corners = 3 * proxy_triangles.size();
  if (transfer_normals) {
    std::vector<Vec3>& normals = result.normals.emplace(corners, Vec3{0, 0, 0});
    parallel_for_each_index(0, proxy_triangles.size(), [&](std::size_t f) {
      normal_transfer_face_body(f, proxy_triangles, nearest, vertex_normals, normals);
    });
  }
  if (uvs_transferred) {
    std::vector<Uv>& uvs = result.uvs.emplace(corners, Uv{0, 0});
    parallel_for_each_index(0, proxy_triangles.size(), [&](std::size_t f) {
      uv_transfer_face_body(f, proxy_triangles, nearest, vertex_uvs, uvs);
    });
  }
  return result;
}

std::vector<Vec3> detail::area_weighted_normals(std::span<const Vec3> positions, std::span<const Tri> triangles) {
  require_valid_indices(positions.size(), triangles);
  std::vector<Vec3> vertex_normals = vertex_normal_sums(positions, triangles);
  normalise_vertex_normals(vertex_normals, Vec3{0, 1, 0});
  std::vector<Vec3> corners(3 * triangles.size());
  parallel_for_each_index(0, triangles.size(), [&](std::size_t f) {
    for (std::size_t k = 0; k < 3; ++k) corners[3 * f + k] = vertex_normals[triangles[f][k]];
  });
  return corners;
}

}  // namespace morvane
