// The record every reader returns and every writer takes, and the size limits the readers apply.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/mesh.hpp"

namespace morvane::io {

// One triangle mesh. `uvs` and `normals`, when present, hold one entry per triangle corner (entry
// 3t + k is corner k of triangle t), zeros where the file had none; absent means the file had none.
struct MeshData {
  std::vector<Vec3> positions;
  std::vector<Tri> triangles;
  std::optional<std::vector<Uv>> uvs;
  std::optional<std::vector<Vec3>> normals;
};

inline constexpr uint64_t MAX_VERTICES = 200000000;
inline constexpr uint64_t MAX_TRIANGLES = 400000000;

// The limits a reader enforces; tests pass small ones, everything else uses the defaults.
struct MeshLimits {
  uint64_t vertices = MAX_VERTICES;
  uint64_t triangles = MAX_TRIANGLES;
};

// Throws IoError (MeshTooLarge) when a count is above its limit, the vertex count tested first.
// A count equal to its limit passes.
void check_limits(uint64_t vertices, uint64_t triangles, const MeshLimits& limits = {});

}  // namespace morvane::io
