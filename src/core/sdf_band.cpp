#include "sdf_band.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "closest_point.hpp"
#include "grid.hpp"
#include "common/memory_guard.hpp"
#include "core_errors.hpp"
#include "common/numeric.hpp"
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

// The squared distance that a triangle must exceed to lose against a voxel's best word for sure:
// the next f32 above the best distance, widened by `slack` for the rounding of the distances and
// squared with far more room than its own rounding; +infinity while the voxel has no best. A
// triangle whose distance exceeds it rounds to a larger f32, so its word is larger whatever its
// index: no possible winner or tie is ever skipped. Skipping a loser changes neither the minimum
// nor the Shell marks, since the winner is nearer and marks the voxel whenever a loser would.
[[gnu::always_inline]] inline double losing_sq(uint64_t best_word, double slack) {
  const auto best_bits = static_cast<uint32_t>(best_word >> 32);
  if (best_bits >= kInfiniteDistanceBits) return std::numeric_limits<double>::infinity();
  const double limit = static_cast<double>(std::bit_cast<float>(best_bits + 1)) + slack;
  return limit * limit * (1.0 + 1e-12);
}

// Lower bounds on the squared distance from a point to a triangle that lies within `radius` of
// its centroid, from the point's squared distance to the centroid: the ball's, and with the point's
// height h above the triangle's plane a tighter one, whose in-plane part is at least the distance
// of the point's projection to the centroid less the radius.
[[gnu::always_inline]] inline double ball_lower_sq(double centre_sq, double radius) {
  const double gap = std::sqrt(centre_sq) - radius;
  return gap > 0.0 ? gap * gap : 0.0;
}

[[gnu::always_inline]] inline double planar_lower_sq(double h, double centre_sq, double radius) {
  const double projected_sq = centre_sq - h * h;
  const double in_plane = std::sqrt(projected_sq > 0.0 ? projected_sq : 0.0) - radius;
  return in_plane > 0.0 ? h * h + in_plane * in_plane : h * h;
}

// Extra voxels, as a fraction of a cell, around a column's slab interval: far more than the
// rounding of the plane distance and of the voxel centres can ever need.
constexpr double kSlabMargin = 0.05;

// saturating_cast of ceil(x) and floor(x), without a call to the library's rounding on targets
// that lack a rounding instruction: columns compute two of each.
constexpr double kExactIntegers = 4503599627370496.0;  // 2^52: beyond it every double is an integer
[[gnu::always_inline]] inline int64_t ceil_index(double x) {
  if (!(x > -kExactIntegers && x < kExactIntegers)) return saturating_cast<int64_t>(std::ceil(x));
  const auto i = static_cast<int64_t>(x);  // toward zero
  return static_cast<double>(i) < x ? i + 1 : i;
}
[[gnu::always_inline]] inline int64_t floor_index(double x) {
  if (!(x > -kExactIntegers && x < kExactIntegers)) return saturating_cast<int64_t>(std::floor(x));
  const auto i = static_cast<int64_t>(x);
  return static_cast<double>(i) > x ? i - 1 : i;
}

struct AxisRange {
  int64_t lo = 0, hi = -1;  // inclusive; empty when lo > hi
};

// floor(world / cell) as a voxel index, clamped into [0, n - 1].
int64_t clamped_voxel(double offset_in_cells, uint64_t n) {
  const int64_t v = floor_index(offset_in_cells);
  return std::clamp<int64_t>(v, 0, static_cast<int64_t>(n) - 1);
}

// The packed words are kept in bricks of 8 x 8 x 8 voxels, and only for the bricks that some
// triangle's box reaches: a triangle's neighbourhood then lies within a few kilobytes, and the
// bulk of the grid, far from the surface, is never touched by the band at all.
constexpr uint64_t kBrickShift = 3;
constexpr uint64_t kBrickMask = (uint64_t{1} << kBrickShift) - 1;
constexpr uint64_t kBrickVoxels = uint64_t{1} << (3 * kBrickShift);
constexpr uint32_t kNoBrick = 0xFFFFFFFF;

struct Bricks {
  uint64_t counts[3] = {0, 0, 0};  // bricks along x, y and z
  std::vector<uint32_t> slot;      // per brick, its place among the used bricks, or kNoBrick
  uint64_t used = 0;
  std::vector<uint64_t> layer_start;  // the slots of the bricks with z = Z are [layer_start[Z], layer_start[Z + 1])
  std::unique_ptr<uint64_t[]> words;  // kBrickVoxels packed words per used brick
  std::unique_ptr<uint8_t[]> shell;   // and as many Shell flags

  uint64_t stride(int axis) const { return axis == 0 ? 1 : axis == 1 ? counts[0] : counts[0] * counts[1]; }
  static uint64_t local_stride(int axis) { return uint64_t{1} << (kBrickShift * static_cast<uint64_t>(axis)); }
};

struct BandContext {
  const SdfGrid& grid;
  Bricks& bricks;
  double band_world;
  uint64_t dims[3];
};

// The voxels whose centres can lie within band_world of the triangle's box, per axis; false when
// the box misses the grid.
bool triangle_box(const BandContext& ctx, const Vec3& a, const Vec3& b, const Vec3& c, AxisRange (&box)[3]) {
  const SdfGrid& g = ctx.grid;
  for (int ax = 0; ax < 3; ++ax) {
    const double mn = std::min({a[ax], b[ax], c[ax]});
    const double mx = std::max({a[ax], b[ax], c[ax]});
    box[ax].lo = clamped_voxel((mn - ctx.band_world - g.origin[ax]) / g.cell, ctx.dims[ax]);
    box[ax].hi = clamped_voxel((mx + ctx.band_world - g.origin[ax]) / g.cell, ctx.dims[ax]);
    if (box[ax].lo > box[ax].hi) return false;
  }
  return true;
}

// Voxel indices along axis `ax` whose centres lie in [lo, hi] (world), widened by kSlabMargin,
// which also absorbs the rounding of the reciprocal cell size.
[[gnu::always_inline]] inline AxisRange centres_within(const SdfGrid& g, double inv_cell, int ax, double lo,
                                                       double hi) {
  const double u0 = (lo - g.origin[ax]) * inv_cell - 0.5;
  const double u1 = (hi - g.origin[ax]) * inv_cell - 0.5;
  return {ceil_index(u0 - kSlabMargin), floor_index(u1 + kSlabMargin)};
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
  if (!triangle_box(ctx, a, b, c, box)) return;

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
  // The lower bounds that skip losing triangles allow ten times that for their own rounding,
  // far more than the unit normal of a triangle that is no sliver can be off by.
  const double bound_slack = 10.0 * slack;
  const Vec3 centroid = (a + b + c) * (1.0 / 3.0);
  const double radius = std::sqrt(std::max({length_squared(a - centroid), length_squared(b - centroid),
                                            length_squared(c - centroid)}));
  const double reach = (bw + radius) * (1.0 + 1e-12) + slack;
  const double bound_radius = radius + bound_slack;
  const double reach_sq = reach * reach;
  // sqrt is monotonic: a squared distance above this can never give a distance within the band.
  const double beyond_band_sq = bw * bw * (1.0 + 1e-9);
  const bool prefilter = std::isnormal(beyond_band_sq) && std::isfinite(beyond_band_sq);

  Bricks& bricks = ctx.bricks;
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
      const double column_height = unit[p] * (mp - centroid[p]) + unit[q] * (mq - centroid[q]);
      const auto ui = static_cast<uint64_t>(i), uj = static_cast<uint64_t>(j);
      const uint64_t column_brick = (ui >> kBrickShift) * bricks.stride(p) + (uj >> kBrickShift) * bricks.stride(q);
      const uint64_t column_local =
          (ui & kBrickMask) * Bricks::local_stride(p) + (uj & kBrickMask) * Bricks::local_stride(q);
      for (int64_t v = run.lo; v <= run.hi; ++v) {
        const auto uv = static_cast<uint64_t>(v);
        // Every brick of the triangle's box was given a slot before the pass.
        const uint64_t brick = bricks.slot[column_brick + (uv >> kBrickShift) * bricks.stride(k)];
        const uint64_t index = brick * kBrickVoxels + column_local + (uv & kBrickMask) * Bricks::local_stride(k);
        const double mk = g.origin[k] + (static_cast<double>(v) + 0.5) * g.cell;
        const double dk = mk - centroid[k];
        const double centre_sq = lateral_sq + dk * dk;
        // Slivers have no reliable plane: their bound is the ball's alone.
        const double lower_sq = use_slab ? planar_lower_sq(column_height + unit[k] * dk, centre_sq, bound_radius)
                                         : ball_lower_sq(centre_sq, bound_radius);
        const uint64_t best = std::atomic_ref<uint64_t>(bricks.words[index]).load(std::memory_order_relaxed);
        if (lower_sq > losing_sq(best, bound_slack)) continue;
        Vec3 m;
        m[p] = mp;
        m[q] = mq;
        m[k] = mk;
        const Vec3 offset = m - closest_point_on_triangle(m, a, b, c);
        const double d_sq = length_squared(offset);
        if (prefilter && d_sq > beyond_band_sq) continue;
        const double d = std::sqrt(d_sq);
        if (!(d <= bw)) continue;
        const uint64_t bits = std::bit_cast<uint32_t>(narrow_to_float(d));
        atomic_min(bricks.words[index], (bits << 32) | t);
        if (d <= g.half_diag) std::atomic_ref<uint8_t>(bricks.shell[index]).store(1, std::memory_order_relaxed);
      }
    }
  }
}

// Gives a slot to every brick that some triangle's box reaches, and allocates their words.
void allocate_bricks(const BandContext& ctx, std::span<const Vec3> positions, std::span<const Tri> triangles) {
  Bricks& bricks = ctx.bricks;
  for (int ax = 0; ax < 3; ++ax) bricks.counts[ax] = (ctx.dims[ax] + kBrickMask) >> kBrickShift;
  const uint64_t brick_count = bricks.counts[0] * bricks.counts[1] * bricks.counts[2];
  std::vector<uint8_t> reached(brick_count, 0);
  parallel_for_chunks(0, triangles.size(), 256, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t t = lo; t < hi; ++t) {
      const Vec3& a = positions[triangles[t][0]];
      const Vec3& b = positions[triangles[t][1]];
      const Vec3& c = positions[triangles[t][2]];
      AxisRange box[3];
      if (!is_finite(a) || !is_finite(b) || !is_finite(c) || !triangle_box(ctx, a, b, c, box)) continue;
      for (int64_t z = box[2].lo >> kBrickShift; z <= box[2].hi >> kBrickShift; ++z) {
        for (int64_t y = box[1].lo >> kBrickShift; y <= box[1].hi >> kBrickShift; ++y) {
          for (int64_t x = box[0].lo >> kBrickShift; x <= box[0].hi >> kBrickShift; ++x) {
            const auto ux = static_cast<uint64_t>(x), uy = static_cast<uint64_t>(y), uz = static_cast<uint64_t>(z);
            const uint64_t brick = ux + bricks.counts[0] * (uy + bricks.counts[1] * uz);
            std::atomic_ref<uint8_t>(reached[brick]).store(1, std::memory_order_relaxed);
          }
        }
      }
    }
  });
  bricks.slot.resize(brick_count);
  const uint64_t layer = bricks.counts[0] * bricks.counts[1];
  for (uint64_t b = 0; b < brick_count; ++b) {
    if (b % layer == 0) bricks.layer_start.push_back(bricks.used);
    bricks.slot[b] = reached[b] != 0 ? static_cast<uint32_t>(bricks.used++) : kNoBrick;
  }
  bricks.layer_start.push_back(bricks.used);

  const uint64_t voxels = bricks.used * kBrickVoxels;
  require_memory(saturating_mul(voxels, sizeof(uint64_t) + 1), "the distance band");
  bricks.words.reset(new uint64_t[voxels]);
  bricks.shell.reset(new uint8_t[voxels]);
  parallel_for_chunks(0, bricks.used, 16, [&](std::size_t lo, std::size_t hi) {
    std::fill(bricks.words.get() + lo * kBrickVoxels, bricks.words.get() + hi * kBrickVoxels, kEmptyBandCell);
    std::fill(bricks.shell.get() + lo * kBrickVoxels, bricks.shell.get() + hi * kBrickVoxels, uint8_t{0});
  });
}

// Spreads the bricks over the grid's lists, one layer of bricks at a time and row by row within it,
// releasing each layer's bricks once it is spread; voxels of bricks that no triangle reached keep
// the initial word and stay Empty.
void split_bricks(Bricks& bricks, SdfGrid& grid) {
  const uint64_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
  for (uint64_t layer = 0; layer * (kBrickMask + 1) < nz; ++layer) {
    const uint64_t z0 = layer * (kBrickMask + 1), z1 = std::min(nz, z0 + kBrickMask + 1);
    parallel_for_chunks(z0 * ny, z1 * ny, 16, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t r = lo; r < hi; ++r) {
        const uint64_t y = r % ny, z = r / ny;
        const uint64_t row_brick = bricks.counts[0] * ((y >> kBrickShift) + bricks.counts[1] * (z >> kBrickShift));
        const uint64_t row_local = ((y & kBrickMask) << kBrickShift) + ((z & kBrickMask) << (2 * kBrickShift));
        uint32_t* __restrict band_dist = grid.band_dist.data() + r * nx;
        uint32_t* __restrict nearest = grid.nearest_tri.data() + r * nx;
        uint8_t* __restrict state = grid.state.data() + r * nx;
        const uint64_t* __restrict words = bricks.words.get();
        const uint8_t* __restrict shell = bricks.shell.get();
        for (uint64_t x0 = 0; x0 < nx; x0 += kBrickMask + 1) {
          const uint64_t x1 = std::min(nx, x0 + kBrickMask + 1);
          const uint32_t slot = bricks.slot[row_brick + (x0 >> kBrickShift)];
          if (slot == kNoBrick) {
            std::fill(band_dist + x0, band_dist + x1, kInfiniteDistanceBits);
            std::fill(nearest + x0, nearest + x1, kNoTriangle);
            std::fill(state + x0, state + x1, static_cast<uint8_t>(Empty));
            continue;
          }
          const uint64_t first = slot * kBrickVoxels + row_local;
          for (uint64_t x = x0; x < x1; ++x) {
            const uint64_t word = words[first + (x & kBrickMask)];
            band_dist[x] = static_cast<uint32_t>(word >> 32);
            nearest[x] = static_cast<uint32_t>(word);
            state[x] = shell[first + (x & kBrickMask)] != 0 ? Shell : Empty;
          }
        }
      }
    });
    const uint64_t from = bricks.layer_start[layer] * kBrickVoxels, to = bricks.layer_start[layer + 1] * kBrickVoxels;
    release_memory(bricks.words.get() + from, bricks.words.get() + to);
    release_memory(bricks.shell.get() + from, bricks.shell.get() + to);
  }
}

}  // namespace

void sdf_band(std::span<const Vec3> positions, std::span<const Tri> triangles, SdfGrid& grid) {
  const uint64_t cells = grid.cells();
  Bricks bricks;
  const BandContext ctx{grid, bricks, grid.band_cells * grid.cell, {grid.nx, grid.ny, grid.nz}};
  Progress stage = progress_start("sdf band", 0);
  allocate_bricks(ctx, positions, triangles);
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

  grid.band_dist.resize(cells);  // every entry of the three lists is written by the split
  grid.nearest_tri.resize(cells);
  grid.state.resize(cells);
  split_bricks(bricks, grid);
}

}  // namespace morvane
