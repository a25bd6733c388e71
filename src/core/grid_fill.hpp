// The exterior flood fill of both grids, in parallel over z-slabs: the Empty runs of every row are
// labelled by slab (runs that overlap in neighbouring rows of a slab are one component), the
// components are joined across the faces between slabs, and the runs of the component that
// holds cell 0 become Outside. The result is that of a breadth-first fill from cell 0.
#pragma once

#include <cstdint>

#include "grid.hpp"
#include "grid_pass.hpp"

namespace morvane {

// Marks Outside every Empty cell of `states` (g.nx * g.ny * g.nz cells, x fastest) that is
// 6-connected to cell 0 through Empty cells; nothing changes when cell 0 is not Empty.
void fill_exterior(uint8_t* states, const GridShape& g);

}  // namespace morvane
