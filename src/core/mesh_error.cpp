#include "mesh_error.hpp"

#include <fmt/format.h>

#include "run_context.hpp"

namespace morvane {

std::string mesh_error_display(const MeshError& e) {
  switch (e.kind) {
    case MeshError::Kind::NonManifoldEdge:
      return fmt::format("non-manifold edge between vertices {} and {} (shared by >2 faces)", e.a, e.b);
    case MeshError::Kind::NonManifoldVertex:
      return fmt::format("non-manifold vertex {} (bowtie topology)", e.a);
    case MeshError::Kind::EmptyMesh:
      return "empty mesh: no vertices or faces provided";
    case MeshError::Kind::InvalidIndex:
      return fmt::format("invalid index {} in face {} (vertex count: {})", e.a, e.face, e.count);
  }
  return {};
}

std::optional<MeshError> find_invalid_index(std::size_t vertex_count, std::span<const Tri> faces) {
  StopPoll poll;
  for (std::size_t f = 0; f < faces.size(); ++f) {
    poll.tick();
    for (uint32_t v : faces[f]) {
      if (v >= vertex_count) {
        MeshError e{MeshError::Kind::InvalidIndex};
        e.a = v;
        e.face = f;
        e.count = vertex_count;
        return e;
      }
    }
  }
  return std::nullopt;
}

std::optional<NonFiniteVertex> find_non_finite_vertex(std::span<const Vec3> positions, std::span<const Tri> faces) {
  StopPoll poll;
  for (std::size_t f = 0; f < faces.size(); ++f) {
    poll.tick();
    for (uint32_t v : faces[f]) {
      if (!is_finite(positions[v])) return NonFiniteVertex{v, f, positions[v]};
    }
  }
  return std::nullopt;
}

std::string non_finite_vertex_display(const NonFiniteVertex& c) {
  return fmt::format("vertex {} of face {} has a non-finite coordinate ({}, {}, {})", c.vertex, c.face,
                     c.position[0], c.position[1], c.position[2]);
}

void require_valid_indices(std::size_t vertex_count, std::span<const Tri> faces) {
  if (auto e = find_invalid_index(vertex_count, faces)) throw InternalError(mesh_error_display(*e));
}

void require_finite_vertices(std::span<const Vec3> positions, std::span<const Tri> faces) {
  if (auto c = find_non_finite_vertex(positions, faces)) throw InputError(non_finite_vertex_display(*c));
}

}  // namespace morvane
