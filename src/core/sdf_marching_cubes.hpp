// Marching cubes on a signed distance grid: the level set at iso, with vertices interpolated linearly
// along the cut grid edges.
#pragma once

#include <cstdint>

#include "marching_cubes.hpp"
#include "mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

// The surface where the field crosses iso (world units), sampled at the voxel centres
// origin + (i + 0.5, j + 0.5, k + 0.5) * cell; a sample is inside when value - iso < 0 in f32 (NaN is
// outside). Vertices lie at least 0.01 of an edge from its samples. Triangles face away from the
// inside. Empty when an axis has fewer than 2 samples; otherwise prints the stage "marching cubes".
Mesh sdf_marching_cubes(const SdfGrid& grid, double iso);

namespace detail {  // steps of the above, exposed for their tests
// The cubes with minimum sample z of sdf_marching_cubes; empty unless z + 1 < nz.
McSlab sdf_mc_slab_body(const SdfGrid& grid, double iso, uint64_t z);
}  // namespace detail

}  // namespace morvane
