#include "far_field.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "grid.hpp"
#include "memory_guard.hpp"
#include "mesh_error.hpp"
#include "numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Scratch of one task: the envelope's parabola positions and boundaries, and one output line.
struct EdtScratch {
  std::vector<std::size_t> v;
  std::vector<double> z;
  std::vector<double> out;
  explicit EdtScratch(std::size_t n) : v(n), z(n + 1), out(n) {}
};

void edt_1d_with(const double* f, double* out, std::size_t n, std::size_t* v, double* z) {
  if (n == 0) return;
  if (n == 1) {
    out[0] = f[0];
    return;
  }
  std::size_t q0 = 0;
  while (q0 < n && !std::isfinite(f[q0])) ++q0;
  if (q0 == n) {
    std::fill(out, out + n, kInf);
    return;
  }
  // Intersection abscissa of the parabolas rooted at q and p (q > p).
  auto meet = [&](std::size_t q, std::size_t p) {
    const double qd = static_cast<double>(q), pd = static_cast<double>(p);
    return ((f[q] + qd * qd) - (f[p] + pd * pd)) / (2.0 * qd - 2.0 * pd);
  };
  std::size_t k = 0;
  v[0] = q0;
  z[0] = -kInf;
  z[1] = kInf;
  for (std::size_t q = q0 + 1; q < n; ++q) {
    if (!std::isfinite(f[q])) continue;
    double s = meet(q, v[k]);
    while (s <= z[k] && k > 0) {
      --k;
      s = meet(q, v[k]);
    }
    if (s <= z[k]) {
      v[0] = q;  // k == 0: the new parabola hides the first one everywhere
    } else {
      ++k;
      v[k] = q;
      z[k] = s;
      z[k + 1] = kInf;
    }
  }
  k = 0;
  for (std::size_t q = 0; q < n; ++q) {
    const double qd = static_cast<double>(q);
    while (z[k + 1] < qd) ++k;
    const double dq = qd - static_cast<double>(v[k]);
    out[q] = dq * dq + f[v[k]];
  }
}

// Lines of the y and z passes gathered together: adjacent x, so that every step reads whole
// cache lines.
constexpr uint64_t kColumnsPerTask = 16;

void transform_x(double* d, uint64_t nx, uint64_t rows) {
  parallel_for_chunks(0, rows, 16, [&](std::size_t lo, std::size_t hi) {
    EdtScratch s(nx);
    for (std::size_t r = lo; r < hi; ++r) {
      double* row = d + r * nx;
      edt_1d_with(row, s.out.data(), nx, s.v.data(), s.z.data());
      std::copy(s.out.begin(), s.out.end(), row);
    }
  });
}

// Transforms `width` adjacent lines of n entries each, line c starting at first + c and stepping
// by `stride`: they are gathered together so that every step reads one run of contiguous entries.
void transform_lines(double* first, uint64_t stride, uint64_t n, uint64_t width, EdtScratch& s,
                     std::vector<double>& block) {
  for (uint64_t e = 0; e < n; ++e) {
    const double* row = first + e * stride;
    for (uint64_t c = 0; c < width; ++c) block[c * n + e] = row[c];
  }
  for (uint64_t c = 0; c < width; ++c) {
    edt_1d_with(block.data() + c * n, s.out.data(), n, s.v.data(), s.z.data());
    std::copy(s.out.begin(), s.out.end(), block.begin() + static_cast<std::ptrdiff_t>(c * n));
  }
  for (uint64_t e = 0; e < n; ++e) {
    double* row = first + e * stride;
    for (uint64_t c = 0; c < width; ++c) row[c] = block[c * n + e];
  }
}

void transform_y(double* d, uint64_t nx, uint64_t ny, uint64_t nz) {
  parallel_for_chunks(0, nz, 1, [&](std::size_t lo, std::size_t hi) {
    EdtScratch s(ny);
    std::vector<double> block(ny * kColumnsPerTask);
    for (std::size_t z = lo; z < hi; ++z) {
      double* slab = d + z * nx * ny;
      for (uint64_t x0 = 0; x0 < nx; x0 += kColumnsPerTask) {
        transform_lines(slab + x0, nx, ny, std::min(kColumnsPerTask, nx - x0), s, block);
      }
    }
  });
}

// Every (x, y) column is independent, so the z pass runs in parallel over blocks of adjacent
// columns of one y.
void transform_z(double* d, uint64_t nx, uint64_t ny, uint64_t nz) {
  const uint64_t blocks_per_row = (nx + kColumnsPerTask - 1) / kColumnsPerTask;
  parallel_for_chunks(0, blocks_per_row * ny, 1, [&](std::size_t lo, std::size_t hi) {
    EdtScratch s(nz);
    std::vector<double> block(nz * kColumnsPerTask);
    for (std::size_t b = lo; b < hi; ++b) {
      const uint64_t y = b / blocks_per_row;
      const uint64_t x0 = (b % blocks_per_row) * kColumnsPerTask;
      transform_lines(d + x0 + y * nx, nx * ny, nz, std::min(kColumnsPerTask, nx - x0), s, block);
    }
  });
}

}  // namespace

void edt_1d(const double* f, double* out, std::size_t n) {
  std::vector<std::size_t> v(n);
  std::vector<double> z(n + 1);
  edt_1d_with(f, out, n, v.data(), z.data());
}

void sdf_far_field(SdfGrid& grid, double iso) {
  if (grid.far_field_done) return;
  if (std::fabs(iso) + grid.cell < grid.cell * grid.band_cells) return;
  Progress stage = progress_start("sdf far field (EDT)", 0);

  const uint64_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
  const uint64_t cells = checked_volume(nx, ny, nz);
  if (grid.band_dist.size() != cells || grid.state.size() != cells) {
    throw InternalError("distance grid lists do not match its dimensions");
  }
  // The grid's own 13 bytes per voxel stay alive next to the 8-byte squared distances.
  require_memory(saturating_mul(cells, 13 + 8), "the far-field distances");
  std::unique_ptr<double[]> d(new double[cells]);

  const double inv_cell = 1.0 / grid.cell;
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const double b = static_cast<double>(std::bit_cast<float>(grid.band_dist[i]));
      const double t = b * inv_cell;
      d[i] = std::isfinite(b) ? t * t : kInf;
    }
  });

  transform_x(d.get(), nx, ny * nz);
  transform_y(d.get(), nx, ny, nz);
  transform_z(d.get(), nx, ny, nz);

  // Same sign rule as the band's values; the list is rewritten in place, entry by entry.
  grid.values.resize(cells);
  const float cell = narrow_to_float(grid.cell);
  const float hd = narrow_to_float(grid.half_diag);
  parallel_for_chunks(0, cells, 1 << 16, [&](std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
      const float a = cell * narrow_to_float(std::sqrt(std::fmax(d[i], 0.0)));
      switch (grid.state[i]) {
        case Shell: grid.values[i] = std::min(a, hd); break;
        case Inside: grid.values[i] = (hd + hd) - a; break;
        default: grid.values[i] = a; break;
      }
    }
  });
  grid.far_field_done = true;
}

}  // namespace morvane
