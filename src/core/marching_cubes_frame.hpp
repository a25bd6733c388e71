// The frame shared by both marching-cubes variants: the walk over the cubes of one z-slab, which
// welds its vertices by grid edge, and the driver that runs all slabs in parallel and merges them.
// A variant supplies only a Field: its sample type, its corner-inside test and its vertex rule.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "edge_key_map.hpp"
#include "marching_cubes.hpp"
#include "mc_tables.hpp"
#include "core_errors.hpp"

namespace morvane {

// Eight consecutive bytes as one word, for bytewise work on eight cells or cubes at a time.
inline uint64_t load_bytes8(const uint8_t* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

namespace detail {

// Appends the vertices and triangles of one cube with a surface through it.
template <class Field>
void mc_emit_cube(const Field& field, uint64_t x, uint64_t y, uint64_t z, unsigned cube,
                  const typename Field::Sample (&c)[8], EdgeKeyMap<GridEdgeKey>& weld, McSlab& slab) {
  uint32_t v[12];
  const unsigned cut = kEdgeTable[cube];
  for (int k = 0; k < 12; ++k) {
    if (((cut >> k) & 1) == 0) continue;
    const GridEdgeKey key{static_cast<uint32_t>(x + kEdgeKeyOffset[k][0]),
                          static_cast<uint32_t>(y + kEdgeKeyOffset[k][1]),
                          static_cast<uint32_t>(z + kEdgeKeyOffset[k][2]), kEdgeAxis[k]};
    const auto fresh = static_cast<uint32_t>(slab.vertices.size());
    if (fresh == UINT32_MAX) throw SettingsError("marching cubes: a slab exceeds 4294967294 vertices");
    const auto [index, inserted] = weld.find_or_insert(key, fresh);
    if (inserted) {
      slab.vertices.push_back(field.vertex(x, y, z, k, c));
      slab.keys.push_back(key);
    }
    v[k] = index;
  }
  // The table's triangles face the inside corners; swapping the last two makes them face out.
  for (const int8_t* t = kTriTable[cube]; *t >= 0; t += 3) slab.triangles.push_back({v[t[0]], v[t[2]], v[t[1]]});
}
}  // namespace detail

// Case indices of the cubes x = 0 .. nx - 2 of a row from the 0/1 inside flags of its four sample
// rows: y0/y1 = the cube's y or y + 1, z0/z1 its z or z + 1. Eight cubes per step: each flag byte
// is 0 or 1, so shifting a word by k < 8 moves every flag to bit k of its own byte.
inline void mc_row_cases(const uint8_t* y0z0, const uint8_t* y1z0, const uint8_t* y0z1, const uint8_t* y1z1,
                         std::size_t nx, uint8_t* cases) {
  std::size_t x = 0;
  for (; x + 9 <= nx; x += 8) {
    const uint64_t w = load_bytes8(y0z0 + x) | load_bytes8(y0z0 + x + 1) << 1 | load_bytes8(y1z0 + x + 1) << 2 |
                       load_bytes8(y1z0 + x) << 3 | load_bytes8(y0z1 + x) << 4 | load_bytes8(y0z1 + x + 1) << 5 |
                       load_bytes8(y1z1 + x + 1) << 6 | load_bytes8(y1z1 + x) << 7;
    std::memcpy(cases + x, &w, sizeof w);
  }
  for (; x + 1 < nx; ++x) {
    cases[x] = static_cast<uint8_t>(y0z0[x] | y0z0[x + 1] << 1 | y1z0[x + 1] << 2 | y1z0[x] << 3 | y0z1[x] << 4 |
                                    y0z1[x + 1] << 5 | y1z1[x + 1] << 6 | y1z1[x] << 7);
  }
}

// A Field provides:
//   using Sample = ...;
//   Sample sample(std::size_t index) const;  // the sample at a grid index
//   static bool inside(Sample s);
//   void inside_flags(std::size_t start, std::size_t n, uint8_t* out) const;  // out[i] = inside(sample(start + i))
//   Vec3 vertex(uint64_t x, uint64_t y, uint64_t z, int edge, const Sample (&corners)[8]) const;
// vertex() places the vertex on cube edge `edge` of the cube with minimum sample (x, y, z).
//
// mc_slab_walk visits the cubes with minimum sample (x, y, z) for y = 0 .. ny - 2 and, within,
// x = 0 .. nx - 2: the first cube in this order that cuts a grid edge fixes that edge's vertex.
// Needs nx, ny >= 2 and z + 1 < nz.
template <class Field>
McSlab mc_slab_walk(const Field& field, uint64_t nx, uint64_t ny, uint64_t z) {
  using Sample = typename Field::Sample;
  McSlab slab;
  EdgeKeyMap<GridEdgeKey> weld;
  const std::size_t row = nx, plane = nx * ny;
  // Inside flags of the sample rows y and y + 1 at z and z + 1 (rows y + 1 serve the next row of
  // cubes as rows y), and the case index of each cube of the current row.
  std::vector<uint8_t> flags(4 * nx), cases(nx - 1);
  uint8_t* y0z0 = flags.data();
  uint8_t* y0z1 = y0z0 + nx;
  uint8_t* y1z0 = y0z1 + nx;
  uint8_t* y1z1 = y1z0 + nx;
  field.inside_flags(plane * z, nx, y0z0);
  field.inside_flags(plane * z + plane, nx, y0z1);
  for (uint64_t y = 0; y + 1 < ny; ++y) {
    const std::size_t base = nx * (y + ny * z);  // sample (0, y, z)
    field.inside_flags(base + row, nx, y1z0);
    field.inside_flags(base + row + plane, nx, y1z1);
    mc_row_cases(y0z0, y1z0, y0z1, y1z1, nx, cases.data());
    for (std::size_t x = 0; x + 1 < nx; ++x) {
      if (x % 8 == 0 && x + 9 <= nx) {
        const uint64_t w = load_bytes8(&cases[x]);
        if (w == 0 || w == ~uint64_t{0}) {  // eight cubes entirely outside or inside
          x += 7;
          continue;
        }
      }
      const unsigned cube = cases[x];
      if (cube == 0 || cube == 255) continue;
      const std::size_t i = base + x;
      const Sample c[8] = {field.sample(i),         field.sample(i + 1),         field.sample(i + 1 + row),
                           field.sample(i + row),   field.sample(i + plane),     field.sample(i + 1 + plane),
                           field.sample(i + 1 + row + plane), field.sample(i + row + plane)};
      detail::mc_emit_cube(field, x, y, z, cube, c, weld, slab);
    }
    std::swap(y0z0, y1z0);
    std::swap(y0z1, y1z1);
  }
  return slab;
}

// Runs slab_body(z) for z = 0 .. nz - 2 on the worker pool and merges the slabs in z order, inside
// the stage "marching cubes". Grids with fewer than 2 samples along an axis give an empty mesh and
// print nothing. Throws InternalError when an axis exceeds the 32-bit grid-edge keys.
Mesh run_marching_cubes(uint64_t nx, uint64_t ny, uint64_t nz, const std::function<McSlab(uint64_t z)>& slab_body);

}  // namespace morvane
