// The exact narrow band of a distance grid: for every voxel centre within the band of the mesh,
// the distance to its nearest triangle and that triangle's index; Shell marks for voxels within
// half a voxel diagonal.
#pragma once

#include <span>

#include "mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

// Allocates and fills band_dist, nearest_tri and state (Shell within half a diagonal of a
// triangle, Empty elsewhere). Reads the grid's dimensions, origin, cell, band_cells and
// half_diag. Each triangle visits only the voxels near its own plane within its bounding box
// grown by the band; the nearest triangle wins, the lower index among equal f32 distances.
void sdf_band(std::span<const Vec3> positions, std::span<const Tri> triangles, SdfGrid& grid);

}  // namespace morvane
