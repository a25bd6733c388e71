#include "sdf_marching_cubes.hpp"

#include <cmath>

#include "marching_cubes_frame.hpp"
#include "common/numeric.hpp"

namespace morvane {
namespace {

// Samples are value - iso in f32; the vertex interpolates them along the edge in table order.
struct SdfField {
  using Sample = float;
  const float* values;
  float iso;
  Vec3 origin;
  double cell;

  Sample sample(std::size_t index) const { return values[index] - iso; }
  static bool inside(Sample d) { return d < 0.0f; }
  // Over locals: the byte stores could otherwise alias the field's members and reload them.
  void inside_flags(std::size_t start, std::size_t n, uint8_t* __restrict out) const {
    const float* __restrict v = values + start;
    const float level = iso;
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(v[i] - level < 0.0f);
  }
  Vec3 vertex(uint64_t x, uint64_t y, uint64_t z, int edge, const Sample (&d)[8]) const {
    const auto [c0, c1] = kEdgeCorners[edge];
    // The edge crosses the level, so its samples differ and the span is not 0 (subnormal floats
    // included), however small the cell; only a NaN sample leaves no ratio.
    const float span = d[c1] - d[c0];
    double t = std::fabs(span) > 0.0f ? static_cast<double>(-d[c0] / span) : 0.5;
    // Keeps vertices off the samples, so no triangle collapses onto a grid point; a NaN t stays NaN.
    if (t < 0.01) {
      t = 0.01;
    } else if (t > 0.99) {
      t = 0.99;
    }
    const uint64_t cube[3] = {x, y, z};
    Vec3 p;
    for (int a = 0; a < 3; ++a) {
      const auto o0 = static_cast<double>(kCubeCorner[c0][a]), o1 = static_cast<double>(kCubeCorner[c1][a]);
      p[a] = origin[a] + cell * (((static_cast<double>(cube[a]) + 0.5) + o0) + t * (o1 - o0));
    }
    return p;
  }
};

}  // namespace

McSlab detail::sdf_mc_slab_body(const SdfGrid& grid, double iso, uint64_t z) {
  grid.require_values();
  if (grid.nx < 2 || grid.ny < 2 || z + 1 >= grid.nz) return {};
  const SdfField field{grid.values.data(), narrow_to_float(iso), grid.origin, grid.cell};
  return mc_slab_walk(field, grid.nx, grid.ny, z);
}

Mesh sdf_marching_cubes(const SdfGrid& grid, double iso) {
  grid.require_values();
  return run_marching_cubes(grid.nx, grid.ny, grid.nz,
                            [&](uint64_t z) { return detail::sdf_mc_slab_body(grid, iso, z); });
}

}  // namespace morvane
