#include "sdf.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "far_field.hpp"
#include "grid.hpp"
#include "common/memory_guard.hpp"
#include "mesh_error.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"
#include "sdf_band.hpp"
#include "sdf_sign.hpp"

namespace morvane {
namespace {

// Bytes per voxel at the peak of the distance-field path: state (1), band_dist and nearest_tri
// (4 + 4), which the far field trades for the values (4 in place of band_dist's 4).
constexpr uint64_t kPeakBytesPerVoxel = 9;

// Lower bound, in cells, of the far field's value at a voxel whose true distance to the surface
// is d cells when the band is band_cells wide. The transform measures from band voxels j as
// sqrt(|i - j|^2 + b_j^2), and |i - j| >= d - b_j, so the value is at least
// min over 0 <= b <= band_cells of sqrt((d - b)^2 + b^2): below d itself by up to a factor sqrt(2).
double far_field_lower_bound(double d, double band_cells) {
  if (d <= 2.0 * band_cells) return d / std::sqrt(2.0);
  const double rest = d - band_cells;
  return std::sqrt(rest * rest + band_cells * band_cells);
}

// Padding that keeps every border voxel's field value above the level, so that the surface
// extracted at the level closes inside the grid. Border centres lie pad - 0.5 cells from the box.
uint64_t level_padding(double level_cells, double band_cells) {
  level_cells = std::fmax(level_cells, 0.0);  // NaN counts as 0
  uint64_t pad = saturating_add(saturating_cast<uint64_t>(std::ceil(level_cells)), 2);
  while (pad <= kLargestPad && !(far_field_lower_bound(static_cast<double>(pad) - 0.5, band_cells) > level_cells)) {
    ++pad;
  }
  return pad;
}

// The band, the dilation by `close` and the extraction level all need room around the box.
uint64_t sdf_padding(uint64_t close, double band, double level_cells) {
  const double band_cells = std::fmax(band, 1.0);
  const uint64_t band_ceil = saturating_cast<uint64_t>(std::ceil(band));
  const uint64_t band_pad = saturating_add(saturating_add(close, band_ceil), 2);
  const uint64_t level_pad = level_padding(level_cells, band_cells);
  if (band_pad > kLargestPad) {
    const std::string largest = band_ceil + 2 <= kLargestPad
                                    ? fmt::format("; the largest close that fits is {}", kLargestPad - 2 - band_ceil)
                                    : "";
    throw SettingsError(fmt::format(
        "close = {} with a band of {} cells needs {} cells of padding around the distance grid, more than the {} "
        "that fit{}",
        close, band, band_pad, kLargestPad, largest));
  }
  if (level_pad > kLargestPad) {
    uint64_t largest = kLargestPad - 2;
    while (largest > 0 && level_padding(static_cast<double>(largest), band_cells) > kLargestPad) --largest;
    throw SettingsError(
        fmt::format("an offset of {} cells needs more than the {} cells of padding that fit around the distance "
                    "grid; the largest offset that fits is {} cells",
                    level_cells, kLargestPad, largest));
  }
  return std::max(band_pad, level_pad);
}

}  // namespace

// All arithmetic in f32, like the far field's values.
void sdf_values(SdfGrid& grid) {
  const float bw = narrow_to_float(grid.band_cells * grid.cell);
  const float hd = narrow_to_float(grid.half_diag);
  grid.values.resize(grid.state.size());  // every entry is written below
  parallel_for_chunks(0, grid.values.size(), 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const float d = std::bit_cast<float>(grid.band_dist[i]);
      grid.values[i] = signed_value(grid.state[i], std::isfinite(d) ? std::min(d, bw) : bw, hd);
    }
  });
}

SdfGrid detail::sdf_layout(std::span<const Vec3> positions, uint64_t voxel_res, uint64_t close, double band,
                           double level_cells) {
  const uint64_t pad = sdf_padding(close, band, level_cells);
  SdfGrid grid{grid_frame(positions, voxel_res, pad)};
  grid.half_diag = grid.cell * 0.5 * 1.7320508075688772;
  grid.band_cells = std::fmax(band, 1.0);

  require_memory(saturating_mul(grid.cells(), kPeakBytesPerVoxel), "the distance grid");
  return grid;
}

SdfGrid build_sdf(std::span<const Vec3> positions, std::span<const Tri> triangles, uint64_t voxel_res, uint64_t close,
                  double band, double level_cells) {
  require_valid_indices(positions.size(), triangles);
  if (triangles.size() >= kNoTriangle) {
    throw SettingsError(fmt::format("{} triangles are more than the distance grid can index", triangles.size()));
  }
  SdfGrid grid = detail::sdf_layout(positions, voxel_res, close, band, level_cells);
  sdf_band(positions, triangles, grid);
  sdf_sign(grid, close);
  // The far field writes every value when the level lies beyond the band's reach.
  if (!far_field_needed(grid, level_cells * grid.cell)) sdf_values(grid);
  grid.far_field_done = false;
  return grid;
}

}  // namespace morvane
