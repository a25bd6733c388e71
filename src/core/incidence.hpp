// The triangles around each vertex of a triangle list, gathered on the worker pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "grid_array.hpp"
#include "mesh.hpp"

namespace morvane {

// Per vertex, the triangles that name it, in list order; a triangle that names a vertex twice
// appears twice in its list, as it adds to that vertex's sums twice.
struct Incidence {
  std::vector<std::size_t> start;
  GridArray<uint32_t> triangles;

  std::span<const uint32_t> operator[](std::size_t v) const {
    return {triangles.data() + start[v], triangles.data() + start[v + 1]};
  }
};

// Triangles t with skip[t] != 0 are left out (an empty `skip` leaves none out). Every index of a
// kept triangle must be below vertex_count.
Incidence build_incidence(std::size_t vertex_count, std::span<const Tri> triangles,
                          std::span<const uint8_t> skip = {});

}  // namespace morvane
