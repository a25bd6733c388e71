// Proxy settings as generate_proxy makes them from a target face count, for the tests and
// benchmarks that run the core directly.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/proxy.hpp"

namespace morvane::test {

// A face count sets the grid resolution and the remesh edge, and raises remesh to 3.
inline void set_target_faces(ProxyParams& params, const Mesh& input, uint32_t target_faces) {
  const auto [res, edge] = resolution_for_target_faces(input.positions, input.indices, target_faces);
  params.voxel_res = res;
  params.target_edge = edge;
  params.target_faces = target_faces;
  params.remesh = std::max<uint64_t>(params.remesh, 3);
}

}  // namespace morvane::test
