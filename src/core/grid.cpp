#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "bounds.hpp"
#include "grid.hpp"
#include "core_errors.hpp"
#include "common/numeric.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

GridDims degenerate_dims(uint64_t pad) {
  const uint64_t n = std::max<uint64_t>(saturating_add(saturating_mul(2, pad), 1), 5);
  return {n, n, n, 1.0};
}

// Cell counts at resolution `res`: at least one cell per axis, plus the margin on both sides.
GridDims dims_at(const std::array<double, 3>& e, double longest, uint64_t res, uint64_t pad) {
  GridDims d;
  d.cell = longest / static_cast<double>(res);
  uint64_t* counts[3] = {&d.nx, &d.ny, &d.nz};
  for (int a = 0; a < 3; ++a) {
    const double q = e[a] / d.cell;
    uint64_t n = std::isfinite(q) ? saturating_cast<uint64_t>(std::ceil(q)) : 1;
    *counts[a] = saturating_add(std::max<uint64_t>(n, 1), saturating_mul(2, pad));
  }
  return d;
}

// Vertices are placed at fractions of a cell from the input's coordinates: where a cell spans only
// a few doubles, they merge and faces flatten. 64 doubles per cell keep every stage's positions
// apart; an input far from the origin compared with its size is refused.
constexpr double kFewestDoublesPerCell = 64;

void require_resolvable_cell(const Bounds& box, double cell) {
  const Vec3 e = box.extent();
  // No finite vertex, or a box too wide to measure, which the pipeline refuses before any grid.
  if (!(std::isfinite(e[0]) && std::isfinite(e[1]) && std::isfinite(e[2]))) return;
  double farthest = 0;
  for (int a = 0; a < 3; ++a) farthest = std::fmax(farthest, std::fmax(std::fabs(box.min[a]), std::fabs(box.max[a])));
  const double spacing = std::nextafter(farthest, INFINITY) - farthest;
  if (cell >= kFewestDoublesPerCell * spacing) return;
  throw InputError(fmt::format(
      "the input lies up to {:.6g} units from the origin, where coordinates are {:.3g} units apart, so its grid "
      "cell of {:.3g} units would span only {:.3g} of them (at least {} are needed): move the mesh near the origin",
      farthest, spacing, cell, cell / spacing, kFewestDoublesPerCell));
}

}  // namespace

GridDims detail::grid_dims(std::array<double, 3> extent, uint64_t voxel_res, uint64_t pad) {
  std::array<double, 3> e;
  for (int a = 0; a < 3; ++a) e[a] = std::fmax(extent[a], 0.0);  // NaN counts as 0
  const double longest = std::max({e[0], e[1], e[2]});
  uint64_t res = std::max<uint64_t>(voxel_res, 1);
  // A cell size that underflows to 0 would give no meaningful counts: treat it as a point.
  if (longest == 0.0 || std::isinf(longest) || longest / static_cast<double>(res) == 0.0) {
    return degenerate_dims(pad);
  }
  const GridDims first = dims_at(e, longest, res, pad);
  GridDims dims = first;
  while (checked_volume(dims.nx, dims.ny, dims.nz) > kCellBudget && res >= 2) {
    res /= 2;
    dims = dims_at(e, longest, res, pad);
  }
  if (dims.nx != first.nx || dims.ny != first.ny || dims.nz != first.nz) {
    report(fmt::format(
        "  warning: voxel grid {}x{}x{} would exceed {} cell budget; reduced resolution to {}x{}x{}\n", first.nx,
        first.ny, first.nz, kCellBudget, dims.nx, dims.ny, dims.nz));
  }
  return dims;
}

uint64_t GridFrame::cells() const { return checked_volume(nx, ny, nz); }

void GridFrame::require_entries(std::size_t entries, const char* message) const {
  if (entries != cells()) throw InternalError(message);
}

GridFrame grid_frame(std::span<const Vec3> positions, uint64_t voxel_res, uint64_t pad) {
  const Bounds box = finite_bounds(positions);
  const GridDims dims = detail::grid_dims(box.extent(), voxel_res, pad);
  require_resolvable_cell(box, dims.cell);
  GridFrame frame{dims.nx, dims.ny, dims.nz, {}, dims.cell};
  for (int a = 0; a < 3; ++a) frame.origin[a] = box.min[a] - static_cast<double>(pad) * dims.cell;
  return frame;
}

}  // namespace morvane
