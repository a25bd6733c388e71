// Whole-mesh passes of the remesher: valence-improving edge flips, tangential (Laplacian) relaxation
// and the final cleanup that turns the working mesh back into a Mesh. The flip and relaxation steps
// follow Botsch & Kobbelt, "A Remeshing Approach to Multiresolution Modeling", 2004.
#pragma once

#include <cstdint>
#include <vector>

#include "mesh.hpp"
#include "remesh_mesh.hpp"

namespace morvane {

// One pass of edge flips toward valence 6 (5 and 7 at the corners of the new diagonal), over the
// edges of one snapshot in its order. Returns the number of flips.
uint64_t flip_edges(RemeshMesh& mesh);

// Where relaxation moves every vertex: an interior vertex `weight` times the way to the centroid
// of its one-ring, less the component along its vertex normal, all from the same positions;
// boundary and isolated vertices stay.
std::vector<Vec3> tangential_relax_targets(const RemeshMesh& mesh, double weight);

// Removes degenerate faces, faces turned over (against both their corners' summed normals and every
// face across their edges) and faces beyond the second on any edge, compacts the mesh and returns
// it. Writes one line when it removed faces of the last two
// kinds.
Mesh cleanup_bad_triangles(RemeshMesh mesh);

namespace detail {  // steps of the above, exposed for their tests
// Moves every vertex toward its relaxation target as far as no face folds (move_without_folds).
void tangential_relax(RemeshMesh& mesh, double weight);
}  // namespace detail

}  // namespace morvane
