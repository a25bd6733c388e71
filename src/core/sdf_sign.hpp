// Inside/outside decision of a distance grid by flood fill: the Shell is thickened by `close`
// cells to seal gaps, the exterior is filled from the corner voxel, the rest becomes Inside,
// and the thickening is peeled back from the exterior where no triangle is near.
#pragma once

#include <cstdint>

#include "sdf_grid.hpp"

namespace morvane {

// Turns every Empty voxel of grid.state into Inside or Outside and erodes the dilated layer.
// Reads band_dist and half_diag.
void sdf_sign(SdfGrid& grid, uint64_t close);

}  // namespace morvane
