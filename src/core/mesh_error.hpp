// The core's mesh validation error and the checks that refuse a mesh the stages cannot take.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core_errors.hpp"
#include "mesh.hpp"

namespace morvane {

struct MeshError {
  enum class Kind { NonManifoldEdge, NonManifoldVertex, EmptyMesh, InvalidIndex };
  Kind kind;
  uint32_t a = 0;       // first vertex of an edge, the vertex, or the invalid index
  uint32_t b = 0;       // second vertex of an edge
  uint64_t face = 0;    // face of an invalid index
  uint64_t count = 0;   // vertex count of an invalid index
};

std::string mesh_error_display(const MeshError& error);

// The first corner, in face order, whose index is not below the vertex count.
std::optional<MeshError> find_invalid_index(std::size_t vertex_count, std::span<const Tri> faces);

// A face corner whose vertex has a NaN or infinite coordinate.
struct NonFiniteVertex {
  uint32_t vertex = 0;
  uint64_t face = 0;
  Vec3 position{};
};

// The first corner, in face order, whose vertex is not finite. Every index must be valid.
std::optional<NonFiniteVertex> find_non_finite_vertex(std::span<const Vec3> positions, std::span<const Tri> faces);

// "vertex {} of face {} has a non-finite coordinate ({}, {}, {})"
std::string non_finite_vertex_display(const NonFiniteVertex& corner);

// Throws InternalError with the InvalidIndex text when a face names a vertex that does not exist.
void require_valid_indices(std::size_t vertex_count, std::span<const Tri> faces);

// Throws InputError when a face uses a vertex with a non-finite coordinate. Every index must be valid.
void require_finite_vertices(std::span<const Vec3> positions, std::span<const Tri> faces);

}  // namespace morvane
