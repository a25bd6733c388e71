// The proxy pipeline: from a triangle mesh and its settings to a closed proxy mesh.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "mesh.hpp"

namespace morvane {

// Settings of one proxy build. Distances are in grid cells unless said otherwise.
struct ProxyParams {
  std::optional<double> target_edge;     // remesh edge length in input units; set with target_faces
  std::optional<uint64_t> target_faces;  // wanted face count
  uint64_t voxel_res = 128;              // cells along the longest side of the input's box
  double offset = 0.1;                   // outward offset of the proxy
  uint64_t close = 1;                    // gap-sealing radius (distance-field path only)
  uint64_t smooth = 5;                   // smoothing iterations; 0 = none
  double smooth_lambda = 0.5;            // Taubin step factor
  uint64_t remesh = 0;                   // remesh iterations; 0 = none
  double bilateral_sigma_n = 0.3;        // normal weight of the bilateral filter
  double project = 2.0;                  // largest move of the final fit; <= 0 or NaN = none
  bool adaptive_remesh = false;          // curvature-adaptive instead of uniform remeshing
  bool bilateral = false;                // bilateral instead of Taubin smoothing
  bool use_sdf = true;                   // distance-field path (true) or binary voxel path
};

// Builds the proxy of (positions, faces): closed, consistently oriented, without folded or
// collapsed faces whenever marching cubes gives a closed surface. Every face index must be below
// the vertex count (InternalError otherwise). Throws InputError when a face uses a vertex with a
// NaN or infinite coordinate, or when the input's extent is beyond what its grid can represent.
// Writes stage progress to standard error.
Mesh generate_proxy_mesh(std::span<const Vec3> positions, std::span<const Tri> faces, const ProxyParams& params);

// Grid resolution and remesh edge length for about `target_faces` output faces.
std::pair<uint64_t, double> resolution_for_target_faces(std::span<const Vec3> positions, std::span<const Tri> faces,
                                                        uint32_t target_faces);

}  // namespace morvane
