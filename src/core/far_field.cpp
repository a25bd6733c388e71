#include "far_field.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "grid.hpp"
#include "common/memory_guard.hpp"
#include "core_errors.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"
#include "progress.hpp"
#include "sdf.hpp"

namespace morvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// The lower envelope of parabolas (q - p)^2 + f_p, built from finite samples in increasing p.
class Envelope {
 public:
  explicit Envelope(std::size_t n) : p_(n), f_(n), g_(n), z_(n + 1) {}

  bool empty() const { return count_ == 0; }

  // Builds the envelope of the samples that for_each_sample(add) hands to add(q, f_q) in
  // increasing q, every f_q finite. Positions are kept as doubles (exact integers) and the
  // envelope's end in a local, so that the loop runs in registers. Each parabola keeps
  // g = f + p^2, the part of its meeting points that does not depend on the newcomer.
  template <class ForEachSample>
  void build(ForEachSample&& for_each_sample) {
    double* p = p_.data();
    double* f = f_.data();
    double* g = g_.data();
    double* z = z_.data();
    std::size_t count = 0;
    for_each_sample([&](std::size_t q, double fq) {
      const double qd = static_cast<double>(q);
      const double gq = fq + qd * qd;
      if (count == 0) {
        p[0] = qd;
        f[0] = fq;
        g[0] = gq;
        z[0] = -kInf;
        z[1] = kInf;
        count = 1;
        return;
      }
      // Abscissa where the new parabola meets parabola k (q lies beyond its position). The last
      // parabola is the previous sample's; next to q the divisor is 2, which halving gives exactly
      // and sooner.
      auto meet = [&](std::size_t k) { return (gq - g[k]) / (2.0 * qd - 2.0 * p[k]); };
      std::size_t k = count - 1;
      double s = p[k] == qd - 1.0 ? (gq - g[k]) * 0.5 : meet(k);
      while (s <= z[k] && k > 0) {
        --k;
        s = meet(k);
      }
      if (!(s <= z[k])) {
        ++k;
        z[k] = s;
        z[k + 1] = kInf;
      }  // else k == 0: the new parabola hides the first one everywhere
      p[k] = qd;
      f[k] = fq;
      g[k] = gq;
      count = k + 1;
    });
    count_ = count;
  }

  // out(q, value, position of the lowest parabola at q) for q = 0 .. n - 1.
  template <class Out>
  void evaluate(std::size_t n, Out&& out) const {
    const double* p = p_.data();
    const double* f = f_.data();
    const double* z = z_.data();
    std::size_t k = 0;
    for (std::size_t q = 0; q < n; ++q) {
      const double qd = static_cast<double>(q);
      while (z[k + 1] < qd) ++k;
      const double dq = qd - p[k];
      out(q, dq * dq + f[k], static_cast<std::size_t>(p[k]));
    }
  }

 private:
  std::vector<double> p_, f_, g_, z_;
  std::size_t count_ = 0;
};

// out[q] for a dense line whose non-finite samples take no part; winner[q] (when asked for) is the
// position of the sample that gives out[q], kNone when no sample is finite.
void transform_line(const double* f, double* out, std::size_t* winner, std::size_t n, Envelope& envelope) {
  if (n == 0) return;
  envelope.build([&](auto&& add) {
    for (std::size_t q = 0; q < n; ++q) {
      if (std::isfinite(f[q])) add(q, f[q]);
    }
  });
  if (n == 1 || envelope.empty()) {  // a single sample is copied whatever it holds
    for (std::size_t q = 0; q < n; ++q) {
      out[q] = n == 1 ? f[0] : kInf;
      if (winner != nullptr) winner[q] = envelope.empty() ? kNone : 0;
    }
    return;
  }
  envelope.evaluate(n, [&](std::size_t q, double value, std::size_t p) {
    out[q] = value;
    if (winner != nullptr) winner[q] = p;
  });
}

// A band voxel as a source of the transform: its place within its z-slab (x + nx * y) and its band
// distance. Eight bytes, so that the seeds of a whole grid stay within the processor's caches.
struct Seed {
  uint32_t at;
  float distance;
};
constexpr uint32_t kNoSeed = 0xFFFFFFFF;

// The seeds of every z-slab, in grid order, and what the passes need to read them back.
class Seeds {
 public:
  Seeds(const SdfGrid& grid) : nx_(grid.nx), inv_nx_(1.0 / static_cast<double>(grid.nx)), inv_cell_(1.0 / grid.cell) {
    const uint64_t ny = grid.ny, nz = grid.nz, slab = grid.nx * ny;
    slab_start_.assign(nz + 1, 0);
    parallel_for_each_index(0, nz, [&](std::size_t z) {
      std::size_t n = 0;
      for (uint64_t i = z * slab; i < (z + 1) * slab; ++i) n += std::isfinite(value(grid.band_dist[i])) ? 1 : 0;
      slab_start_[z + 1] = n;
    }, 1);
    for (uint64_t z = 0; z < nz; ++z) slab_start_[z + 1] += slab_start_[z];
    list_.resize(slab_start_[nz]);  // every entry is written below
    parallel_for_each_index(0, nz, [&](std::size_t z) {
      Seed* out = list_.data() + slab_start_[z];
      for (uint64_t at = 0; at < slab; ++at) {
        const uint32_t bits = grid.band_dist[z * slab + at];
        if (std::isfinite(value(bits))) *out++ = {static_cast<uint32_t>(at), std::bit_cast<float>(bits)};
      }
    }, 1);
  }

  std::size_t size() const { return list_.size(); }
  std::size_t slab_begin(uint64_t z) const { return slab_start_[z]; }
  std::size_t slab_end(uint64_t z) const { return slab_start_[z + 1]; }
  const Seed& operator[](std::size_t rank) const { return list_[rank]; }

  // The seed value of the transform: the squared band distance in cells, +infinity off the band.
  double value(uint32_t distance_bits) const {
    const double b = static_cast<double>(std::bit_cast<float>(distance_bits));
    const double t = b * inv_cell_;
    return std::isfinite(b) ? t * t : kInf;
  }
  double value(const Seed& s) const { return value(std::bit_cast<uint32_t>(s.distance)); }

  uint64_t row(const Seed& s) const {
    auto y = static_cast<uint64_t>(static_cast<double>(s.at) * inv_nx_);
    if (y * nx_ > s.at) --y;
    if ((y + 1) * nx_ <= s.at) ++y;
    return y;
  }

  // The value of voxel (x, y) of the seed's slab after the x and y passes, rebuilt with the
  // operations those passes applied: the x pass added dx^2 to the seed's value, the y pass dy^2.
  double xy_value(const Seed& s, uint64_t x, uint64_t y) const {
    const uint64_t sy = row(s);
    const double dx = static_cast<double>(x) - static_cast<double>(s.at - sy * nx_);
    const double dy = static_cast<double>(y) - static_cast<double>(sy);
    return dy * dy + (dx * dx + value(s));
  }

 private:
  uint64_t nx_;
  double inv_nx_;
  double inv_cell_;
  GridArray<Seed> list_;
  std::vector<std::size_t> slab_start_;
};

// Lines of the y and z passes gathered together: adjacent x, so that every step reads whole
// cache lines.
constexpr uint64_t kColumnsPerTask = 64;

// The x and y passes of one z-slab, kept within the slab: for every voxel, the seed whose
// parabola gives its value after the y pass, stored in `ranks` (kNoSeed where no seed reaches).
class SlabPasses {
 public:
  SlabPasses(uint64_t nx, uint64_t ny)
      : nx_(nx), ny_(ny), x_value_(nx * ny), x_seed_(nx * ny), envelope_(std::max(nx, ny)),
        block_(ny * kColumnsPerTask), out_(ny * kColumnsPerTask), winner_(ny * kColumnsPerTask) {}

  void run(const Seeds& seeds, uint64_t z, uint32_t* ranks) {
    std::size_t s = seeds.slab_begin(z);
    const std::size_t end = seeds.slab_end(z);
    if (s == end) {
      std::fill(ranks, ranks + nx_ * ny_, kNoSeed);
      return;
    }
    for (uint64_t y = 0; y < ny_; ++y) {
      double* value = x_value_.data() + y * nx_;
      uint32_t* seed = x_seed_.data() + y * nx_;
      const std::size_t row_first = s;
      const uint64_t row_start = y * nx_;
      envelope_.build([&](auto&& add) {
        for (; s < end && seeds[s].at < row_start + nx_; ++s) add(seeds[s].at - row_start, seeds.value(seeds[s]));
      });
      if (envelope_.empty()) {
        std::fill(value, value + nx_, kInf);
        std::fill(seed, seed + nx_, kNoSeed);
        continue;
      }
      // Seeds sit at increasing x, so the rank of the winner follows from its position.
      std::size_t rank = row_first;
      envelope_.evaluate(nx_, [&](std::size_t q, double v, std::size_t p) {
        while (seeds[rank].at - row_start != p) ++rank;
        value[q] = v;
        seed[q] = static_cast<uint32_t>(rank);
      });
    }
    // The y pass over blocks of adjacent columns, each gathered into lines and written back row by row.
    for (uint64_t x0 = 0; x0 < nx_; x0 += kColumnsPerTask) {
      const uint64_t width = std::min(kColumnsPerTask, nx_ - x0);
      for (uint64_t y = 0; y < ny_; ++y) {
        for (uint64_t c = 0; c < width; ++c) block_[c * ny_ + y] = x_value_[x0 + c + y * nx_];
      }
      for (uint64_t c = 0; c < width; ++c) {
        transform_line(block_.data() + c * ny_, out_.data() + c * ny_, winner_.data() + c * ny_, ny_, envelope_);
      }
      for (uint64_t y = 0; y < ny_; ++y) {
        for (uint64_t c = 0; c < width; ++c) {
          const std::size_t w = winner_[c * ny_ + y];
          ranks[x0 + c + y * nx_] = w == kNone ? kNoSeed : x_seed_[x0 + c + w * nx_];
        }
      }
    }
  }

 private:
  uint64_t nx_, ny_;
  std::vector<double> x_value_;
  std::vector<uint32_t> x_seed_;
  Envelope envelope_;
  std::vector<double> block_, out_;
  std::vector<std::size_t> winner_;
};

}  // namespace

void detail::edt_1d(const double* f, double* out, std::size_t n) {
  Envelope envelope(n);
  transform_line(f, out, nullptr, n, envelope);
}

bool far_field_needed(const SdfGrid& grid, double iso) {
  return !(std::fabs(iso) + grid.cell < grid.cell * grid.band_cells);
}

void sdf_far_field(SdfGrid& grid, double iso) {
  if (grid.far_field_done) return;
  if (!far_field_needed(grid, iso)) {
    if (grid.values.empty()) sdf_values(grid);
    return;
  }
  Progress stage = progress_start("sdf far field (EDT)", 0);

  const uint64_t nx = grid.nx, ny = grid.ny, nz = grid.nz;
  const uint64_t cells = grid.cells();
  for (std::size_t entries : {grid.band_dist.size(), grid.state.size()}) {
    grid.require_entries(entries, "distance grid lists do not match its dimensions");
  }
  const Seeds seeds(grid);
  if (seeds.size() >= kNoSeed) throw SettingsError("the distance band holds more voxels than 32-bit ranks count");
  GridArray<uint32_t>().swap(grid.band_dist);  // nothing reads the band distances again

  // Each voxel's entry of `values` first holds the rank of its seed after the x and y passes, then
  // the z pass reads a column of ranks and writes the column's values over them.
  require_memory(saturating_mul(cells, sizeof(float)), "the far-field distances");
  grid.values.resize(cells);  // every entry is written by the slab passes
  float* values = grid.values.data();
  parallel_for_chunks(0, nz, 1, [&](std::size_t lo, std::size_t hi) {
    SlabPasses passes(nx, ny);
    std::vector<uint32_t> ranks(nx * ny);
    for (std::size_t z = lo; z < hi; ++z) {
      passes.run(seeds, z, ranks.data());
      float* slab = values + z * nx * ny;
      for (uint64_t i = 0; i < nx * ny; ++i) slab[i] = std::bit_cast<float>(ranks[i]);
    }
  });

  // The z pass, over blocks of adjacent columns of one y, and the values by the field's sign
  // rule. Each step reads and writes a run of the block's width in every z-slab, gathering first
  // and writing last, so that the loads of a block are independent of each other.
  const float cell = narrow_to_float(grid.cell);
  const float hd = narrow_to_float(grid.half_diag);
  const uint64_t blocks_per_row = (nx + kColumnsPerTask - 1) / kColumnsPerTask;
  const uint64_t plane = nx * ny;
  parallel_for_chunks(0, blocks_per_row * ny, 1, [&](std::size_t lo, std::size_t hi) {
    Envelope envelope(nz);
    std::vector<uint32_t> ranks(nz * kColumnsPerTask);
    std::vector<double> block(nz * kColumnsPerTask), out(nz * kColumnsPerTask);
    for (std::size_t b = lo; b < hi; ++b) {
      const uint64_t y = b / blocks_per_row;
      const uint64_t x0 = (b % blocks_per_row) * kColumnsPerTask;
      const uint64_t width = std::min(kColumnsPerTask, nx - x0);
      const uint64_t first = x0 + y * nx;
      // The seeds of a block lie all over the grid: their loads are started while the ranks arrive.
      for (uint64_t z = 0; z < nz; ++z) {
        const float* row = values + first + z * plane;
        for (uint64_t c = 0; c < width; ++c) {
          const uint32_t rank = std::bit_cast<uint32_t>(row[c]);
          ranks[z * width + c] = rank;
          if (rank != kNoSeed) __builtin_prefetch(&seeds[rank]);
        }
      }
      for (uint64_t z = 0; z < nz; ++z) {
        for (uint64_t c = 0; c < width; ++c) {
          const uint32_t rank = ranks[z * width + c];
          block[c * nz + z] = rank == kNoSeed ? kInf : seeds.xy_value(seeds[rank], x0 + c, y);
        }
      }
      for (uint64_t c = 0; c < width; ++c) {
        transform_line(block.data() + c * nz, out.data() + c * nz, nullptr, nz, envelope);
      }
      for (uint64_t z = 0; z < nz; ++z) {
        float* row = values + first + z * plane;
        const uint8_t* states = grid.state.data() + first + z * plane;
        for (uint64_t c = 0; c < width; ++c) {
          const double d = out[c * nz + z];
          const float a = cell * narrow_to_float(std::sqrt(d > 0.0 ? d : 0.0));  // a NaN counts as 0
          row[c] = signed_value(states[c], a, hd);
        }
      }
    }
  });
  GridArray<uint8_t>().swap(grid.state);  // nor the states
  grid.far_field_done = true;
}

}  // namespace morvane
