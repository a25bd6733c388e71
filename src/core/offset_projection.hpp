// The final fit of the distance-field path: every proxy vertex is placed at an exact distance
// from the input surface, along the ray from its nearest surface point, using the grid's
// nearest-triangle field to find candidate triangles.
#pragma once

#include <span>

#include "mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

// Moves each vertex toward the point at distance `level` from the input (unsigned distance, so a
// vertex inside the input is placed `level` inside it), by at most `max_move`. Candidates are the
// nearest triangles of the 27 voxels around the vertex; a vertex without candidates or lying on
// the input (within 1e-12 of a cell) stays. The input mesh must be the one the grid was built
// from (InternalError for a triangle or vertex index the input does not have). Vertices are
// processed in parallel.
void project_to_offset_surface(std::span<Vec3> vertices, const SdfGrid& grid, std::span<const Vec3> input_positions,
                               std::span<const Tri> input_triangles, double level, double max_move);

}  // namespace morvane
