// Pinhole sealing: closes small boundary loops of a triangle list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "mesh.hpp"

namespace morvane {

struct SealCount {
  uint64_t filled = 0;     // loops closed
  uint64_t left_open = 0;  // loops of 3 to max_hole vertices that no sound fill closes
};

// Closes every boundary loop of 3 to `max_hole` distinct vertices with triangles appended to
// `triangles` (fill_hole: the fan sealing has always used where it is sound), wound against the
// loop's neighbours so the surface keeps its orientation. A boundary that passes through one
// vertex twice (two holes meeting at a vertex) is split there into simple loops first. A fill never
// adds an edge the mesh already has, a flat face or a face turned against all its neighbours, so
// it never refills a face the remesher's cleanup removed as turned over; a loop that cannot be
// filled soundly stays open and is counted. Existing triangles are never changed.
SealCount seal_pinholes(std::span<const Vec3> positions, std::vector<Tri>& triangles, uint64_t max_hole);

}  // namespace morvane
