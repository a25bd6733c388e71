// Axis-aligned bounding boxes over the finite vertices of a mesh.
#pragma once

#include <cfloat>
#include <span>

#include "mesh.hpp"

namespace morvane {

struct Bounds {
  Vec3 min{DBL_MAX, DBL_MAX, DBL_MAX};
  Vec3 max{-DBL_MAX, -DBL_MAX, -DBL_MAX};

  // max - min per axis; -infinity on every axis when no vertex was added.
  Vec3 extent() const { return max - min; }
};

// The box of every vertex whose three coordinates are finite. A NaN or infinite vertex would
// otherwise make every box degenerate or unbounded.
inline Bounds finite_bounds(std::span<const Vec3> points) {
  Bounds b;
  for (const Vec3& p : points) {
    if (!is_finite(p)) continue;
    for (int a = 0; a < 3; ++a) {
      if (p[a] < b.min[a]) b.min[a] = p[a];
      if (p[a] > b.max[a]) b.max[a] = p[a];
    }
  }
  return b;
}

}  // namespace morvane
