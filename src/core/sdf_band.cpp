#include "sdf_band.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>

#include "closest_point.hpp"
#include "grid.hpp"
#include "mesh_error.hpp"
#include "numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

// One word per voxel while the band is built: f32 distance bits high, triangle index low.
// Distances are never negative, so the unsigned order is distance first, then index.
constexpr uint64_t kEmptyBandCell = (uint64_t{kInfiniteDistanceBits} << 32) | kNoTriangle;

void atomic_min(uint64_t& word, uint64_t value) {
  std::atomic_ref<uint64_t> ref(word);
  uint64_t current = ref.load(std::memory_order_relaxed);
  while (value < current && !ref.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
  }
}

// Extra voxels, as a fraction of a cell, around a column's slab interval: far more than the
// rounding of the plane distance and of the voxel centres can ever need.
constexpr double kSlabMargin = 0.05;

struct AxisRange {
  int64_t lo = 0, hi = -1;  // inclusive; empty when lo > hi
};

// floor(world / cell) as a voxel index, clamped into [0, n - 1].
int64_t clamped_voxel(double offset_in_cells, uint64_t n) {
  const int64_t v = saturating_cast<int64_t>(std::floor(offset_in_cells));
  return std::clamp<int64_t>(v, 0, static_cast<int64_t>(n) - 1);
}

struct BandContext {
  const SdfGrid& grid;
  uint64_t* packed;
  uint8_t* state;
  double band_world;
  uint64_t dims[3];
};

// Voxel indices along axis `ax` whose centres lie in [lo, hi] (world), widened by kSlabMargin,
// which also absorbs the rounding of the reciprocal cell size.
[[gnu::always_inline]] inline AxisRange centres_within(const SdfGrid& g, double inv_cell, int ax, double lo,
                                                       double hi) {
  const double u0 = (lo - g.origin[ax]) * inv_cell - 0.5;
  const double u1 = (hi - g.origin[ax]) * inv_cell - 0.5;
  return {saturating_cast<int64_t>(std::ceil(u0 - kSlabMargin)),
          saturating_cast<int64_t>(std::floor(u1 + kSlabMargin))};
}

// Visits the voxels of triangle t's box that can lie within the band, and records the exact
// distance of each. Two conservative bounds shorten each column along the axis where the
// triangle's normal is largest: the plane slab |n . (m - a)| <= band, and the ball around the
// corners' centroid grown by the band. Every voxel within the band of the triangle lies in both,
// so the result equals a visit of the whole box.
void band_triangle(const BandContext& ctx, const Vec3& a, const Vec3& b, const Vec3& c, uint32_t t) {
  const SdfGrid& g = ctx.grid;
  const double bw = ctx.band_world;
  AxisRange box[3];
  for (int ax = 0; ax < 3; ++ax) {
    const double mn = std::min({a[ax], b[ax], c[ax]});
    const double mx = std::max({a[ax], b[ax], c[ax]});
    box[ax].lo = clamped_voxel((mn - bw - g.origin[ax]) / g.cell, ctx.dims[ax]);
    box[ax].hi = clamped_voxel((mx + bw - g.origin[ax]) / g.cell, ctx.dims[ax]);
    if (box[ax].lo > box[ax].hi) return;
  }

  const Vec3 ab = b - a, ac = c - a;
  const Vec3 normal = cross(ab, ac);
  const double normal_len = length(normal);
  int k = 0;
  for (int ax = 1; ax < 3; ++ax) {
    if (std::fabs(normal[ax]) > std::fabs(normal[k])) k = ax;
  }
  // Slivers have an unreliable normal: they use the ball alone.
  const bool use_slab = normal_len > 1e-6 * length(ab) * length(ac) && std::isfinite(normal_len);
  const Vec3 unit = use_slab ? normal * (1.0 / normal_len) : Vec3{0, 0, 0};
  const double inv_unit_k = use_slab ? 1.0 / unit[k] : 0.0;
  const double inv_cell = 1.0 / g.cell;
  const int p = (k + 1) % 3, q = (k + 2) % 3;
  // Rounding slack of distances, relative to the coordinates' magnitude.
  double magnitude = 0.0;
  for (int ax = 0; ax < 3; ++ax) {
    magnitude = std::max({magnitude, std::fabs(a[ax]), std::fabs(b[ax]), std::fabs(c[ax]), std::fabs(g.origin[ax])});
  }
  const double slack = 1e-9 * magnitude;
  const double slab = bw + slack;
  const Vec3 centroid = (a + b + c) * (1.0 / 3.0);
  const double radius = std::sqrt(std::max({length_squared(a - centroid), length_squared(b - centroid),
                                            length_squared(c - centroid)}));
  const double reach = (bw + radius) * (1.0 + 1e-12) + slack;
  const double reach_sq = reach * reach;
  // sqrt is monotonic: a squared distance above this can never give a distance within the band.
  const double beyond_band_sq = bw * bw * (1.0 + 1e-9);
  const bool prefilter = std::isnormal(beyond_band_sq) && std::isfinite(beyond_band_sq);

  const uint64_t stride[3] = {1, g.nx, g.nx * g.ny};
  for (int64_t i = box[p].lo; i <= box[p].hi; ++i) {
    const double mp = g.origin[p] + (static_cast<double>(i) + 0.5) * g.cell;
    for (int64_t j = box[q].lo; j <= box[q].hi; ++j) {
      const double mq = g.origin[q] + (static_cast<double>(j) + 0.5) * g.cell;
      const double lateral_sq = (mp - centroid[p]) * (mp - centroid[p]) + (mq - centroid[q]) * (mq - centroid[q]);
      if (lateral_sq > reach_sq) continue;
      const double half = std::sqrt(reach_sq - lateral_sq);
      const AxisRange ball = centres_within(g, inv_cell, k, centroid[k] - half, centroid[k] + half);
      AxisRange run{std::max(box[k].lo, ball.lo), std::min(box[k].hi, ball.hi)};
      if (use_slab) {
        // unit_k * (m_k - a_k) must lie in [-slab - r, slab - r].
        const double r = unit[p] * (mp - a[p]) + unit[q] * (mq - a[q]);
        const double e0 = a[k] + (-slab - r) * inv_unit_k;
        const double e1 = a[k] + (slab - r) * inv_unit_k;
        const AxisRange plane = centres_within(g, inv_cell, k, std::min(e0, e1), std::max(e0, e1));
        run.lo = std::max(run.lo, plane.lo);
        run.hi = std::min(run.hi, plane.hi);
      }
      const uint64_t column = static_cast<uint64_t>(i) * stride[p] + static_cast<uint64_t>(j) * stride[q];
      for (int64_t v = run.lo; v <= run.hi; ++v) {
        Vec3 m;
        m[p] = mp;
        m[q] = mq;
        m[k] = g.origin[k] + (static_cast<double>(v) + 0.5) * g.cell;
        const Vec3 offset = m - closest_point_on_triangle(m, a, b, c);
        const double d_sq = length_squared(offset);
        if (prefilter && d_sq > beyond_band_sq) continue;
        const double d = std::sqrt(d_sq);
        if (!(d <= bw)) continue;
        const uint64_t index = column + static_cast<uint64_t>(v) * stride[k];
        const uint64_t bits = std::bit_cast<uint32_t>(narrow_to_float(d));
        atomic_min(ctx.packed[index], (bits << 32) | t);
        if (d <= g.half_diag) std::atomic_ref<uint8_t>(ctx.state[index]).store(Shell, std::memory_order_relaxed);
      }
    }
  }
}

}  // namespace

void sdf_band(std::span<const Vec3> positions, std::span<const Tri> triangles, SdfGrid& grid) {
  const uint64_t cells = grid.nx * grid.ny * grid.nz;
  if (grid.state.size() != cells) throw InternalError("distance grid state does not match its dimensions");
  std::unique_ptr<uint64_t[]> packed(new uint64_t[cells]);
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    std::fill(packed.get() + lo, packed.get() + hi, kEmptyBandCell);
  });

  Progress stage = progress_start("sdf band", 0);
  const double band_world = grid.band_cells * grid.cell;
  const BandContext ctx{grid, packed.get(), grid.state.data(), band_world, {grid.nx, grid.ny, grid.nz}};
  parallel_for_chunks(0, triangles.size(), 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t t = lo; t < hi; ++t) {
      const Vec3& a = positions[triangles[t][0]];
      const Vec3& b = positions[triangles[t][1]];
      const Vec3& c = positions[triangles[t][2]];
      // A NaN distance would neither win nor lose the minimum in a defined way.
      if (!is_finite(a) || !is_finite(b) || !is_finite(c)) continue;
      band_triangle(ctx, a, b, c, static_cast<uint32_t>(t));
    }
  });
  stage.finish();

  grid.band_dist.resize(cells);
  grid.nearest_tri.resize(cells);
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      grid.band_dist[i] = static_cast<uint32_t>(packed[i] >> 32);
      grid.nearest_tri[i] = static_cast<uint32_t>(packed[i]);
    }
  });
}

}  // namespace morvane
