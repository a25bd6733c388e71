#include "mesh_data.hpp"

#include "io_error.hpp"

namespace morvane::io {

void check_limits(uint64_t vertices, uint64_t triangles, const MeshLimits& limits) {
  if (vertices > limits.vertices) throw IoError::mesh_too_large("vertex", vertices, limits.vertices);
  if (triangles > limits.triangles) throw IoError::mesh_too_large("triangle", triangles, limits.triangles);
}

}  // namespace morvane::io
