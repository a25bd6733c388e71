// Shrink-fit: the final fit of the voxel path, pulling every proxy vertex toward its nearest
// input vertex by at most a given distance.
#pragma once

#include <span>

#include "mesh.hpp"
#include "point_grid.hpp"

namespace morvane {

// Moves every proxy vertex toward its nearest input vertex by at most max_d. Each input vertex
// takes at most one proxy vertex: the nearest one (the lower index among equally near ones) lands
// on it when within max_d; every other vertex pulled toward it moves at most half the way, so no
// two proxy vertices end at one input vertex. Displacements are all computed from the unchanged
// positions before any vertex moves. Nothing changes when either list is empty or max_d is not
// > 0 (NaN included).
void shrink_fit(std::span<Vec3> positions, std::span<const Vec3> input_positions, double max_d);

}  // namespace morvane
