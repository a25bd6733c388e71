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
  GridArray<std::size_t> start;
  GridArray<uint32_t> triangles;

  std::span<const uint32_t> operator[](std::size_t v) const {
    return {triangles.data() + start[v], triangles.data() + start[v + 1]};
  }
};

// Triangles t with skip[t] != 0 are left out (an empty `skip` leaves none out). Every index of a
// kept triangle must be below vertex_count.
Incidence build_incidence(std::size_t vertex_count, std::span<const Tri> triangles,
                          std::span<const uint8_t> skip = {});

// Edges through the incidence lists: the triangles at an edge (a, b) are those of a's list that
// also name b. Lists are short, so these are a few comparisons each.

// fn(g) for every triangle g of a's list that names b, each once, in list order.
template <class Fn>
void for_each_triangle_on_edge(const Incidence& around, std::span<const Tri> triangles, uint32_t a, uint32_t b,
                               Fn&& fn) {
  const std::span<const uint32_t> list = around[a];
  for (std::size_t i = 0; i < list.size(); ++i) {
    const uint32_t g = list[i];
    if (i > 0 && list[i - 1] == g) continue;  // a triangle that names a twice is listed twice
    const Tri& t = triangles[g];
    if (t[0] == b || t[1] == b || t[2] == b) fn(g);
  }
}

// The triangle other than f at the edge (a, b) when there is exactly one, else kNoTriangle.
inline uint32_t other_triangle_on_edge(const Incidence& around, std::span<const Tri> triangles, std::size_t f,
                                       uint32_t a, uint32_t b) {
  uint32_t other = kNoTriangle;
  std::size_t others = 0;
  for_each_triangle_on_edge(around, triangles, a, b, [&](uint32_t g) {
    if (g == f) return;
    ++others;
    other = g;
  });
  return others == 1 ? other : kNoTriangle;
}

// The number of triangle sides along the edge (a, b), either way round: a triangle that names a
// or b twice has two sides there (the self-edge (a, a) of a triangle that names a twice, one).
inline std::size_t sides_on_edge(const Incidence& around, std::span<const Tri> triangles, uint32_t a, uint32_t b) {
  std::size_t sides = 0;
  for_each_triangle_on_edge(around, triangles, a, b, [&](uint32_t g) {
    const Tri& t = triangles[g];
    for (int k = 0; k < 3; ++k) {
      const uint32_t u = t[k], v = t[(k + 1) % 3];
      sides += (u == a && v == b) || (u == b && v == a);
    }
  });
  return sides;
}

}  // namespace morvane
