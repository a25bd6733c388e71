// Completes a narrow-band distance grid with distances everywhere: the separable exact Euclidean
// distance transform of Felzenszwalb and Huttenlocher ("Distance Transforms of Sampled
// Functions", 2012), seeded with the band's own distances. The x and y passes run slab by slab
// and keep, per voxel, only which band voxel gives its value; the z pass rebuilds those values
// with the same operations and writes the field, so that no list of squared distances as large
// as the grid is ever needed.
#pragma once

#include <cstddef>

#include "sdf_grid.hpp"

namespace morvane {

// Whether the band falls short of reaching a cell beyond `iso` (world units), so that
// sdf_far_field computes the values from a transform.
bool far_field_needed(const SdfGrid& grid, double iso);

// Rewrites grid.values from the distance of every voxel to the band's surface, keeping the sign
// rule of the band (Outside unsigned, Shell capped at half a diagonal, Inside mirrored), and then
// releases band_dist and state, which nothing reads afterwards. Does nothing when it already ran
// on this grid; when the band reaches a cell beyond `iso`, only fills the band's values if
// build_sdf left them to it. Throws OutOfMemory when the values cannot fit in memory.
void sdf_far_field(SdfGrid& grid, double iso);

namespace detail {  // steps of the above, exposed for their tests
// out[q] = min over positions p with a finite f[p] of (q - p)^2 + f[p]: the lower envelope of
// parabolas. Samples that are infinite or NaN take no part; with none finite every out[q] is
// +infinity. A single sample is copied whatever its value. f and out must not overlap.
void edt_1d(const double* f, double* out, std::size_t n);
}  // namespace detail

}  // namespace morvane
