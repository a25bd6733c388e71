// Shrink-fit: the final fit of the voxel path, pulling every proxy vertex toward its nearest
// input vertex by at most a given distance.
#pragma once

#include <span>

#include "mesh.hpp"
#include "point_grid.hpp"

namespace morvane {

// Moves every proxy vertex onto its nearest input vertex, or exactly max_d toward it when that
// is further than max_d. Displacements are all computed from the unchanged positions before any
// vertex moves. Nothing changes when either list is empty or max_d is not > 0 (NaN included).
void shrink_fit(std::span<Vec3> positions, std::span<const Vec3> input_positions, double max_d);

// The displacement of one proxy vertex at p; zero when the grid has no nearest point for p.
Vec3 shrink_fit_vertex_body(const PointGrid& grid, double max_d, double max_d_squared, const Vec3& p);

}  // namespace morvane
