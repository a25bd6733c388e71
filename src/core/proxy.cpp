// The proxy pipeline: the distance-field path (default) and the binary voxel path, each a fixed
// sequence of stages that replace or edit the current mesh.
#include "proxy.hpp"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "bounds.hpp"
#include "far_field.hpp"
#include "fold_free_moves.hpp"
#include "grid.hpp"
#include "marching_cubes.hpp"
#include "mesh_error.hpp"
#include "common/numeric.hpp"
#include "offset_projection.hpp"
#include "progress.hpp"
#include "proxy_promise.hpp"
#include "remesh.hpp"
#include "sdf.hpp"
#include "sdf_marching_cubes.hpp"
#include "seal_pinholes.hpp"
#include "shrink_fit.hpp"
#include "smooth.hpp"
#include "common/text_format.hpp"
#include "voxelize.hpp"

namespace morvane {
namespace {

// Holes of up to this many boundary vertices, left by extraction or remeshing, are filled.
constexpr uint64_t kLargestPinhole = 8;

// The distance field keeps world distances in f32. Its grid has at most 2^30 cells along an axis,
// so over these extents every cell lies between 2^-100 and 2^70 units: its values stay finite and
// resolve 2^-24 of a cell with normal floats.
constexpr double kSmallestFieldExtent = 0x1p-70;
constexpr double kLargestFieldExtent = 0x1p70;

// Refuses inputs whose grid cannot represent them: a box too wide for a double and, on the
// distance-field path, extents outside the f32 field's range. A box of zero extent (a point) is
// sized by the grid itself.
void require_representable_extent(std::span<const Vec3> positions, bool use_sdf) {
  const Bounds box = finite_bounds(positions);
  if (box.min[0] > box.max[0]) return;  // no finite vertex
  const Vec3 e = box.extent();
  const double longest = std::max({e[0], e[1], e[2]});
  if (!std::isfinite(longest)) {
    throw InputError(fmt::format("the input's coordinates span from ({}, {}, {}) to ({}, {}, {}), wider than a "
                                 "double can measure",
                                 box.min[0], box.min[1], box.min[2], box.max[0], box.max[1], box.max[2]));
  }
  if (use_sdf && longest != 0.0 && !(longest >= kSmallestFieldExtent && longest <= kLargestFieldExtent)) {
    throw InputError(fmt::format(
        "the input spans {:.3g} units; the distance field holds extents from {:.3g} to {:.3g} units (scale the "
        "mesh, or use the voxel path)",
        longest, kSmallestFieldExtent, kLargestFieldExtent));
  }
}

// The final fit may squeeze a face to a thousandth of its area and no further: below that it has
// as good as collapsed (on the test models the fit leaves every face about 1/200 of its area or more).
constexpr MoveGuard kFitGuard{0.001, false};

void seal_and_report(Mesh& mesh, const char* what) {
  const SealCount sealed = seal_pinholes(mesh.positions, mesh.indices, kLargestPinhole);
  if (sealed.filled > 0) report(fmt::format("  sealed {} {} pinholes\n", sealed.filled, what));
  if (sealed.left_open > 0) report(fmt::format("  left {} {} pinholes open: no sound fill\n", sealed.left_open, what));
}

void smooth_in_place(Mesh& mesh, const ProxyParams& params) {
  if (params.smooth == 0) return;
  if (params.bilateral) {
    bilateral_smooth(mesh.positions, mesh.indices, params.smooth, params.bilateral_sigma_n);
  } else {
    taubin_smooth(mesh.positions, mesh.indices, params.smooth, params.smooth_lambda);
  }
}

// A target edge finer than the grid's cell asks remeshing for detail the surface does not have;
// only a degenerate input (all vertices at one point, sized by the grid as one unit) gives one.
RemeshParams remesh_params(const ProxyParams& params, bool with_target_faces, double cell) {
  RemeshParams r;
  if (params.target_edge) r.target_edge = std::fmax(*params.target_edge, cell);
  if (with_target_faces) r.target_faces = params.target_faces;
  r.iterations = params.remesh;
  r.relax_weight = 0.3;
  r.min_factor = 0.25;
  r.max_factor = 3.0;
  r.adaptive = params.adaptive_remesh;
  return r;
}

Mesh distance_field_path(std::span<const Vec3> positions, std::span<const Tri> faces, const ProxyParams& params) {
  const double off = std::fmax(params.offset, 0.0);  // a NaN offset counts as 0
  const double o1 = std::max(off, 1.0);               // marching cubes needs at least one cell
  const double band = std::fmax(std::fmin(o1 + 0.6, 4.0), 2.0);

  SdfGrid grid = build_sdf(positions, faces, params.voxel_res, params.close, band, o1);
  const double cell = grid.cell;
  const double iso = o1 * cell;
  sdf_far_field(grid, iso);

  Mesh mesh = sdf_marching_cubes(grid, iso);
  seal_and_report(mesh, "marching-cubes");
  smooth_in_place(mesh, params);

  const bool fit = params.project > 0.0;  // NaN, zero and negative skip the final fit
  if (params.remesh > 0) {
    const ProjectionTarget target{&grid, iso, 1.5 * cell};
    mesh = isotropic_remesh(mesh.positions, mesh.indices, remesh_params(params, true, cell), fit ? &target : nullptr);
    seal_and_report(mesh, "remesh");
  }
  if (fit) {
    // The surface was extracted at o1 >= 1 cell; the final fit pulls it to `offset` cells.
    Progress stage = progress_start_named(fmt::format("project to offset surface ({} cells)", fixed(off, 2)));
    std::vector<Vec3> targets = mesh.positions;
    project_to_offset_surface(targets, grid, positions, faces, off * cell, cell * params.project);
    move_without_folds(mesh.positions, mesh.indices, targets, kFitGuard);
  }
  return mesh;
}

Mesh voxel_path(std::span<const Vec3> positions, std::span<const Tri> faces, const ProxyParams& params) {
  // Whole-cell dilation passes, rounded half away from zero; the margin grows with them so that
  // the dilated solid never reaches the last sample layer and the surface stays closed.
  const uint64_t dilations = saturating_cast<uint64_t>(std::round(params.offset));
  if (dilations > kLargestPad - 2) {
    throw SettingsError(fmt::format("offset {} needs {} dilation passes; the voxel grid holds at most {}",
                                    params.offset, dilations, kLargestPad - 2));
  }
  const uint64_t pad = saturating_add(2, dilations);

  VoxelGrid grid = voxelize(positions, faces, params.voxel_res, pad);
  if (dilations > 0) {
    Progress stage = progress_start_named(fmt::format("dilate (\u00d7{})", dilations));
    dilate_voxels(grid, dilations);
  }
  const double cell = grid.cell;
  Mesh mesh = voxel_marching_cubes(grid);
  grid = VoxelGrid{};  // the grid is not needed past extraction

  smooth_in_place(mesh, params);
  if (params.remesh > 0) {
    mesh = isotropic_remesh(mesh.positions, mesh.indices, remesh_params(params, false, cell), nullptr);
    // Remeshing's cleanup may leave holes here as on the distance-field path.
    seal_and_report(mesh, "remesh");
  }
  if (params.project > 0.0) {
    const double max_move = cell * params.project;
    Progress stage = progress_start_named(
        fmt::format("shrink-fit ({} voxels = {} world)", fixed(params.project, 2), fixed(max_move, 4)));
    std::vector<Vec3> targets = mesh.positions;
    shrink_fit(targets, positions, max_move);
    MoveGuard guard = kFitGuard;
    guard.distinct_positions = true;
    move_without_folds(mesh.positions, mesh.indices, targets, guard);
  }
  return mesh;
}

}  // namespace

Mesh generate_proxy_mesh(std::span<const Vec3> positions, std::span<const Tri> faces, const ProxyParams& params) {
  require_valid_indices(positions.size(), faces);
  require_finite_vertices(positions, faces);
  require_representable_extent(positions, params.use_sdf);
  Mesh mesh = params.use_sdf ? distance_field_path(positions, faces, params) : voxel_path(positions, faces, params);
  keep_proxy_promise(mesh);
  report(fmt::format("  proxy: {} vertices, {} faces\n", mesh.positions.size(), mesh.indices.size()));
  return mesh;
}

}  // namespace morvane
