// Binary voxelization of a triangle mesh: surface rasterization, exterior flood fill and dilation.
#pragma once

#include <cstdint>
#include <span>

#include "grid.hpp"
#include "mesh.hpp"

namespace morvane {

// A grid over the box of the finite vertices with `voxel_res` cells along its longest side and `pad`
// cells of margin on every side (origin = box minimum - pad * cell). Cells that a triangle touches
// are Shell, cells connected to cell (0, 0, 0) through non-Shell cells are Outside, the rest Inside.
// Triangles with a non-finite corner or edge length are skipped. Every face index must be below the
// vertex count (InternalError otherwise). Prints the stages "voxelize" and "flood-fill exterior".
VoxelGrid voxelize(std::span<const Vec3> positions, std::span<const Tri> faces, uint64_t voxel_res, uint64_t pad);

// Grows the solid (Shell and Inside) by up to n face steps: each pass turns every Empty or Outside
// cell with a solid face neighbour Inside. Stops early at the first pass that changes nothing.
void dilate_voxels(VoxelGrid& grid, uint64_t n);

namespace detail {  // steps of the above, exposed for their tests
// Marks Outside every Empty cell 6-connected to cell (0, 0, 0) through Empty cells; nothing happens
// when that cell is not Empty.
void flood_fill_exterior(VoxelGrid& grid);
}  // namespace detail

}  // namespace morvane
