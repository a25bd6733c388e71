// Marching cubes (Lorensen & Cline 1987) over z-slabs of a grid, welded by grid edge, and its
// binary-voxel variant, whose vertices sit at the midpoints of the cut grid edges.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "grid.hpp"
#include "mesh.hpp"

namespace morvane {

// A grid edge: its lower end in sample coordinates and its axis (0 = x, 1 = y, 2 = z). Every cube
// that shares the edge names it with the same key.
struct GridEdgeKey {
  uint32_t x = 0, y = 0, z = 0;
  uint8_t axis = 0;
  std::array<uint64_t, 4> hash_words() const { return {x, y, z, axis}; }
  friend bool operator==(const GridEdgeKey&, const GridEdgeKey&) = default;
};

// The welded output of the cubes whose minimum sample has one z: keys[i] is the grid edge of
// vertices[i]; triangles index the slab's own vertices.
struct McSlab {
  std::vector<Vec3> vertices;
  std::vector<GridEdgeKey> keys;
  std::vector<Tri> triangles;
};

// The boundary of the solid (Shell and Inside cells) sampled at origin + (i, j, k) * cell, with
// outward, counter-clockwise triangles. Empty when an axis has fewer than 2 cells; otherwise prints
// the stage "marching cubes".
Mesh voxel_marching_cubes(const VoxelGrid& grid);

namespace detail {  // steps of the above, exposed for their tests
// Welds the slabs of z = 0, 1, ... (in that order) into one mesh. Output vertices appear in order of
// first creation and triangles in slab order; a vertex on the plane between two slabs is the lower
// slab's. Throws InternalError when two neighbouring slabs disagree on their common plane.
Mesh merge_mc_slabs(std::vector<McSlab> slabs);

// The cubes with minimum sample z of voxel_marching_cubes; empty unless z + 1 < nz.
McSlab voxel_mc_slab_body(const VoxelGrid& grid, uint64_t z);
}  // namespace detail

}  // namespace morvane
