// Surface voxelization by sampling each triangle on a lattice finer than half a cell, a flood fill
// of the exterior from a grid corner, and 6-neighbour dilation passes.
#include "voxelize.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include <fmt/format.h>

#include "grid_fill.hpp"
#include "grid_pass.hpp"
#include "common/memory_guard.hpp"
#include "mesh_error.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

// What rasterize_triangle needs of the grid being built.
struct Raster {
  uint8_t* states;
  uint64_t nx, ny, nz;
  Vec3 origin;
  double cell;
  double step;         // lattice spacing along the two edges from the first corner
  uint64_t max_steps;  // lattice steps per edge that any triangle inside the grid can need
};

// Steps for an edge of length `len`, at most `max_steps`. A triangle whose corners lie in the
// vertex box is no longer than the grid diagonal, so max_steps never binds for it; it binds only
// when the box itself overflowed to an infinite extent (then the grid is the 5-cell fallback and
// the unclamped lattice would need up to 2^128 points).
uint64_t edge_steps(double len, const Raster& r) {
  return std::clamp<uint64_t>(saturating_cast<uint64_t>(std::ceil(len / r.step)), 1, r.max_steps);
}

// |v|: the plain formula wherever it is finite. Where only the squares overflow, the vector is
// scaled by a power of two first, which is exact, so huge finite triangles keep their lattice.
double edge_length(const Vec3& v) {
  const double plain = length(v);
  if (std::isfinite(plain) || !is_finite(v)) return plain;
  int exponent = 0;
  std::frexp(std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])}), &exponent);
  return std::ldexp(length(v * std::ldexp(1.0, -exponent)), exponent);
}

// Marks as Shell every cell holding a point of the lattice a + u (b - a) + v (c - a) with
// u = i / nu, v = j / nv, u + v <= 1.
void rasterize_triangle(const Vec3& a, const Vec3& b, const Vec3& c, const Raster& r) {
  const Vec3 ab = b - a, ac = c - a;
  const double len_ab = edge_length(ab), len_ac = edge_length(ac);
  // A NaN or infinite corner makes an edge non-finite, and so does the difference of two corners
  // beyond half the f64 range: such a triangle has no usable lattice (NaN points would land in cell
  // (0, 0, 0), an infinite edge would need unbounded steps).
  if (!std::isfinite(len_ab) || !std::isfinite(len_ac)) return;
  const uint64_t nu = edge_steps(len_ab, r), nv = edge_steps(len_ac, r);
  const int64_t n[3] = {static_cast<int64_t>(r.nx), static_cast<int64_t>(r.ny), static_cast<int64_t>(r.nz)};
  for (uint64_t i = 0; i <= nu; ++i) {
    const double u = static_cast<double>(i) / static_cast<double>(nu);
    for (uint64_t j = 0; j <= nv; ++j) {
      const double v = static_cast<double>(j) / static_cast<double>(nv);
      if (u + v > 1.0) break;  // u + v only grows with j
      int64_t cellc[3];
      bool in_grid = true;
      for (int k = 0; k < 3; ++k) {
        const double p = a[k] + u * ab[k] + v * ac[k];
        cellc[k] = saturating_cast<int32_t>((p - r.origin[k]) / r.cell);
        in_grid = in_grid && cellc[k] >= 0 && cellc[k] < n[k];
      }
      if (!in_grid) continue;
      const auto index = static_cast<std::size_t>(cellc[0]) +
                         r.nx * (static_cast<std::size_t>(cellc[1]) + r.ny * static_cast<std::size_t>(cellc[2]));
      std::atomic_ref<uint8_t>(r.states[index]).store(Shell, std::memory_order_relaxed);
    }
  }
}

}  // namespace

VoxelGrid voxelize(std::span<const Vec3> positions, std::span<const Tri> faces, uint64_t voxel_res, uint64_t pad) {
  require_valid_indices(positions.size(), faces);
  VoxelGrid grid{grid_frame(positions, voxel_res, pad)};
  const uint64_t cells = grid.cells();
  if (cells > kCellBudget) {
    throw SettingsError(fmt::format("voxel grid {}x{}x{} exceeds the {} cell budget even at resolution 1", grid.nx,
                                    grid.ny, grid.nz, kCellBudget));
  }
  require_memory(cells, "the voxel grid");
  grid.states.resize(cells);
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    std::fill(grid.states.begin() + lo, grid.states.begin() + hi, static_cast<uint8_t>(Empty));
  });

  {
    Progress stage = progress_start("voxelize", 0);
    const double diagonal = std::sqrt(static_cast<double>(grid.nx) * static_cast<double>(grid.nx) +
                                      static_cast<double>(grid.ny) * static_cast<double>(grid.ny) +
                                      static_cast<double>(grid.nz) * static_cast<double>(grid.nz));
    const Raster raster{grid.states.data(), grid.nx, grid.ny, grid.nz, grid.origin, grid.cell, 0.4 * grid.cell,
                        saturating_add(saturating_cast<uint64_t>(std::ceil(diagonal / 0.4)), 1)};
    parallel_for_each_index(
        0, faces.size(),
        [&](std::size_t f) {
          const Tri& t = faces[f];
          rasterize_triangle(positions[t[0]], positions[t[1]], positions[t[2]], raster);
        },
        256);
  }
  {
    Progress stage = progress_start("flood-fill exterior", 0);
    detail::flood_fill_exterior(grid);
  }
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      if (grid.states[i] == Empty) grid.states[i] = Inside;
    }
  });
  return grid;
}

void detail::flood_fill_exterior(VoxelGrid& grid) {
  grid.require_states();
  fill_exterior(grid.states.data(), {grid.nx, grid.ny, grid.nz});
}

// Empty or Outside cells next to a solid (Shell or Inside) cell become Inside.
void dilate_voxels(VoxelGrid& grid, uint64_t n) {
  grid.require_states();
  auto solid = [](uint8_t s) { return (s == Shell) | (s == Inside); };
  repeat_grid_passes(grid.states.data(), {grid.nx, grid.ny, grid.nz}, n, Inside,
                     [&](const RowNeighbourhood& r, uint8_t* __restrict grows) {
                       neighbour_flags(r, solid, grows);
                       const uint8_t* __restrict row = r.row;
                       for (uint64_t x = 0, nx = r.nx; x < nx; ++x) grows[x] &= static_cast<uint8_t>(!solid(row[x]));
                     });
}

}  // namespace morvane
