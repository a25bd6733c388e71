// The narrow-band signed distance field of a triangle mesh: exact distances near the surface, a
// sign from a flood fill of the exterior after sealing gaps, and a per-voxel field value.
#pragma once

#include <cstdint>
#include <span>

#include "mesh.hpp"
#include "sdf_grid.hpp"

namespace morvane {

// Builds the grid of (positions, triangles), `voxel_res` cells along the longest side of the
// box of the finite vertices.
//   close:       gap-sealing radius in cells; gaps narrower than about 2 * close are sealed.
//   band:        half-width of the exact band in cells (at least 1; NaN counts as 1).
//   level_cells: the extraction level in cells; the padding keeps it inside the grid. When it lies
//                beyond the band's reach (far_field_needed), values are left empty for
//                sdf_far_field to fill.
// Triangles with a non-finite corner are left out. Throws SettingsError when close, band or
// level need more padding than any grid within the cell budget has, InternalError for a face
// index not below the vertex count, and std::bad_alloc when the grid cannot fit in memory.
SdfGrid build_sdf(std::span<const Vec3> positions, std::span<const Tri> triangles, uint64_t voxel_res, uint64_t close,
                  double band, double level_cells);

// Field value of every voxel from its band distance and state, capped at the band width: the
// last phase of build_sdf, after detail::sdf_layout, sdf_band (sdf_band.hpp) and sdf_sign
// (sdf_sign.hpp).
void sdf_values(SdfGrid& grid);

namespace detail {  // steps of the above, exposed for their tests
// Sizes and places the grid around the finite vertices; its lists are left to the phases.
SdfGrid sdf_layout(std::span<const Vec3> positions, uint64_t voxel_res, uint64_t close, double band,
                   double level_cells);
}  // namespace detail

}  // namespace morvane
