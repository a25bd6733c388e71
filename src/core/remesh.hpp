// Isotropic remeshing of the proxy (Botsch & Kobbelt, "A Remeshing Approach to Multiresolution
// Modeling", 2004): each iteration splits long edges, collapses short ones, flips toward valence 6,
// relaxes tangentially and, given a distance field, pulls the vertices back onto its level set.
// A collapse or flip that would turn a face over or flatten it is refused, and a move that would
// is shortened or dropped, so the final cleanup finds nothing to remove on a sound input.
// Adaptive mode shrinks the target where the angle defect (discrete Gaussian curvature) is high.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mesh.hpp"
#include "remesh_mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

struct RemeshParams {
  std::optional<double> target_edge;     // edge length in mesh units; absent, not positive or not finite:
                                         // the mean edge length of the input
  std::optional<uint64_t> target_faces;  // uniform mode: at least 25 iterations, stop at 1.15 x this many faces
  uint64_t iterations = 0;               // uniform: the most iterations (before the floor of 25); adaptive: exact
  double relax_weight = 0.3;             // step of the tangential relaxation
  double min_factor = 0.25;              // adaptive: local target / base target where curvature is strongest
  double max_factor = 3.0;               // adaptive: local target / base target where the surface is flat
  bool adaptive = false;                 // curvature-adaptive instead of uniform targets
};

// The distance field whose level set every iteration projects the vertices onto.
struct ProjectionTarget {
  const SdfGrid* grid;  // borrowed for the call
  double level;         // field value of the surface, world units
  double max_move;      // largest move of a vertex per projection, world units
};

// Remeshes (positions, faces) and returns the cleaned-up result. Writes a header line, one line per
// iteration and possibly a cleanup line to standard error. Faces with a non-finite corner are
// dropped before the first pass. Throws InternalError for a face index not below the vertex count.
Mesh isotropic_remesh(std::span<const Vec3> positions, std::span<const Tri> faces, const RemeshParams& params,
                      const ProjectionTarget* target);

namespace detail {  // steps of the above, exposed for their tests
// Per vertex of the mesh, referenced or not, a value in [0, 1] growing with the angle defect,
// scaled by the 95th percentile of the positive defects. A corner with an edge of at most
// `shortest_edge` adds no angle.
std::vector<double> curvature_sizing(const RemeshMesh& mesh, double shortest_edge);

// The values greater than 0, in their order (NaN is left out).
std::vector<double> positive_values(std::span<const double> values);

// Largest alive face count the split phase may reach: 16 times the larger of the starting face
// count and the count that edges of length `smallest_target` would give the surface area, at most
// 400000000. Splitting toward a vanishing target would otherwise run until memory is exhausted.
uint64_t split_face_ceiling(uint64_t alive_faces, double area, double smallest_target);
}  // namespace detail

}  // namespace morvane
