// Reading a distance grid at arbitrary points: trilinear samples, central-difference gradients
// and the clamped gradient walk that pulls points onto a level set of the field.
#pragma once

#include <cstdint>
#include <span>

#include "mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

// The field at world point p, blended trilinearly between voxel centres. Coordinates are
// clamped to [first centre, second-to-last centre] per axis, so the last layer of centres only
// ever gets weight 0 and points outside the grid read its border values.
double sample_trilinear(const SdfGrid& grid, const Vec3& p);

// Moves every point toward the level set `level` by at most `iterations` gradient steps of at
// most one cell each, never farther than `max_move` from where it started. Points are processed
// in parallel and independently; a point without a sound step (flat or undefined field) stays.
void project_to_sdf(std::span<Vec3> points, const SdfGrid& grid, uint64_t iterations, double level, double max_move);

namespace detail {  // steps of the above, exposed for their tests
// Central differences of sample_trilinear with half step cell / 2, per axis.
Vec3 sample_gradient(const SdfGrid& grid, const Vec3& p);
}  // namespace detail

}  // namespace morvane
