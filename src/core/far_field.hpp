// Completes a narrow-band distance grid with distances everywhere: the separable exact Euclidean
// distance transform of Felzenszwalb and Huttenlocher ("Distance Transforms of Sampled
// Functions", 2012), seeded with the band's own distances.
#pragma once

#include <cstddef>

#include "sdf_grid.hpp"

namespace morvane {

// out[q] = min over positions p with a finite f[p] of (q - p)^2 + f[p]: the lower envelope of
// parabolas. Samples that are infinite or NaN take no part; with none finite every out[q] is
// +infinity. A single sample is copied whatever its value. f and out must not overlap.
void edt_1d(const double* f, double* out, std::size_t n);

// Rewrites grid.values from the distance of every voxel to the band's surface, keeping the sign
// rule of the band (Outside unsigned, Shell capped at half a diagonal, Inside mirrored). Does
// nothing when it already ran on this grid or when the band reaches a cell beyond `iso` (world
// units). Throws std::bad_alloc when the working list cannot fit in memory.
void sdf_far_field(SdfGrid& grid, double iso);

}  // namespace morvane
