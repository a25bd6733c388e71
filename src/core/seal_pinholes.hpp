// Pinhole sealing: closes small boundary loops of a triangle list with triangle fans.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh.hpp"

namespace morvane {

// Fills every closed boundary loop of 3 to `max_hole` distinct vertices with a fan of
// n - 2 triangles appended to `triangles`, wound against the loop's neighbours so the surface
// keeps its orientation. A boundary that passes through one vertex twice (two holes meeting at a
// vertex) is split there into simple loops first. The fan's apex is the first loop vertex whose
// diagonals are not edges yet; a loop where every apex would add a face to an existing edge stays
// open, so sealing never makes an edge non-manifold. Existing triangles are never changed.
// Returns the number of loops filled.
uint64_t seal_pinholes(std::vector<Tri>& triangles, uint64_t max_hole);

}  // namespace morvane
