// Triangulations of a hole's boundary loop that keep the surface sound: no edge the mesh already
// has, no flat face, and no face turned against every face it meets.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "mesh.hpp"

namespace morvane {

struct HoleLoop {
  // The loop's vertices, walked against the winding of the faces around the hole, so that a face
  // (loop[i], loop[j], loop[k]) with i < j < k is wound like its neighbours.
  std::span<const uint32_t> vertices;
  // Per loop edge i, from vertices[i] to the next: the normal of the face on its other side.
  std::span<const Vec3> rim_normals;
};

// Appends to `out` the faces that close the loop, and returns true; returns false and appends
// nothing when no triangulation found is sound. The first choice is the fan from the first loop
// vertex whose diagonals are all new edges; when that fan is not sound, the triangulation whose
// faces stray least from the loop's own direction (its vector area) among those that add no
// existing edge or flat face. Sound: every diagonal is new (is_edge false), no face is degenerate,
// and no face opposes every face across its edges (its rim face or its fellow fill faces).
bool fill_hole(std::span<const Vec3> positions, const HoleLoop& loop, const std::function<bool(EdgeKey)>& is_edge,
               std::vector<Tri>& out);

}  // namespace morvane
