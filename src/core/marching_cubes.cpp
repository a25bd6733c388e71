#include "marching_cubes.hpp"

#include <cstring>

#include <fmt/format.h>

#include "marching_cubes_frame.hpp"
#include "parallel.hpp"
#include "progress.hpp"

namespace morvane {
namespace {

// 0x80 in every byte of w that is zero, 0 elsewhere (no carry crosses a byte).
uint64_t zero_bytes(uint64_t w) {
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7F;
  return ~(((w & kLow7) + kLow7) | w | kLow7);
}

// Binary samples: a corner is inside when its cell is solid; vertices at grid-edge midpoints.
struct VoxelField {
  using Sample = uint8_t;
  const uint8_t* states;
  Vec3 origin;
  double cell;

  Sample sample(std::size_t index) const { return states[index]; }
  static bool inside(Sample s) { return s == Shell || s == Inside; }
  // Eight states per step: a byte is solid when it equals Shell or Inside.
  void inside_flags(std::size_t start, std::size_t n, uint8_t* out) const {
    constexpr uint64_t kOnes = 0x0101010101010101;
    std::size_t x = 0;
    for (; x + 8 <= n; x += 8) {
      const uint64_t w = load_bytes8(states + start + x);
      const uint64_t solid = (zero_bytes(w ^ (kOnes * Shell)) | zero_bytes(w ^ (kOnes * Inside))) >> 7;
      std::memcpy(out + x, &solid, sizeof solid);
    }
    for (; x < n; ++x) out[x] = inside(states[start + x]) ? 1 : 0;
  }
  Vec3 vertex(uint64_t x, uint64_t y, uint64_t z, int edge, const Sample (&)[8]) const {
    const uint64_t key[3] = {x + kEdgeKeyOffset[edge][0], y + kEdgeKeyOffset[edge][1], z + kEdgeKeyOffset[edge][2]};
    Vec3 p;
    for (int a = 0; a < 3; ++a) {
      double k = static_cast<double>(key[a]);
      if (a == kEdgeAxis[edge]) k += 0.5;
      p[a] = origin[a] + cell * k;
    }
    return p;
  }
};

// Local indices of the slab vertices whose key lies on plane z along x or y, in creation order.
std::vector<uint32_t> vertices_on_plane(const McSlab& slab, uint64_t z) {
  std::vector<uint32_t> out;
  for (std::size_t j = 0; j < slab.keys.size(); ++j) {
    if (slab.keys[j].z == z && slab.keys[j].axis != 2) out.push_back(static_cast<uint32_t>(j));
  }
  return out;
}

}  // namespace

// Slab z makes a vertex on plane z + 1 exactly when slab z + 1 makes one on its plane z: both see
// the same samples there, and a cube edge is cut when its two corners differ. Both slabs scan the
// plane's cubes in the same order and visit its edges in the same order (edges 4-7 of the lower
// cube are edges 0-3 of the upper one), so the k-th plane vertex of one is the k-th of the other.
// That turns the weld of a sequential merge into count, exclusive scan and fill.
Mesh detail::merge_mc_slabs(std::vector<McSlab> slabs) {
  const std::size_t n = slabs.size();
  std::vector<std::vector<uint32_t>> bottom(n), top(n);
  parallel_for_each_index(
      0, n,
      [&](std::size_t s) {
        if (s > 0) bottom[s] = vertices_on_plane(slabs[s], s);
        if (s + 1 < n) top[s] = vertices_on_plane(slabs[s], s + 1);
      },
      1);

  std::vector<uint64_t> vertex_base(n + 1, 0), triangle_base(n + 1, 0);
  for (std::size_t s = 0; s < n; ++s) {
    if (s > 0) {
      const std::vector<uint32_t>& up = bottom[s];
      const std::vector<uint32_t>& down = top[s - 1];
      bool same = up.size() == down.size();
      for (std::size_t k = 0; same && k < up.size(); ++k) same = slabs[s].keys[up[k]] == slabs[s - 1].keys[down[k]];
      if (!same) throw InternalError(fmt::format("marching cubes slabs {} and {} disagree on their plane", s - 1, s));
    }
    vertex_base[s + 1] = vertex_base[s] + (slabs[s].vertices.size() - bottom[s].size());
    triangle_base[s + 1] = triangle_base[s] + slabs[s].triangles.size();
  }
  if (vertex_base[n] > UINT32_MAX) {
    throw SettingsError(fmt::format("marching cubes output of {} vertices exceeds 32-bit indices", vertex_base[n]));
  }

  Mesh mesh;
  mesh.positions.resize(vertex_base[n]);
  mesh.indices.resize(triangle_base[n]);
  std::vector<std::vector<uint32_t>> output_index(n);
  // Vertices made first by this slab, in slab order.
  parallel_for_each_index(
      0, n,
      [&](std::size_t s) {
        const McSlab& slab = slabs[s];
        std::vector<uint32_t>& out = output_index[s];
        out.assign(slab.vertices.size(), 0);
        auto next_bottom = bottom[s].begin();
        auto next = static_cast<uint32_t>(vertex_base[s]);
        for (uint32_t j = 0; j < slab.vertices.size(); ++j) {
          if (next_bottom != bottom[s].end() && *next_bottom == j) {
            ++next_bottom;
            continue;
          }
          mesh.positions[next] = slab.vertices[j];
          out[j] = next++;
        }
      },
      1);
  // Vertices of the plane below from the slab below, then the triangles.
  parallel_for_each_index(
      0, n,
      [&](std::size_t s) {
        std::vector<uint32_t>& out = output_index[s];
        for (std::size_t k = 0; k < bottom[s].size(); ++k) out[bottom[s][k]] = output_index[s - 1][top[s - 1][k]];
        Tri* dst = mesh.indices.data() + triangle_base[s];
        for (const Tri& t : slabs[s].triangles) *dst++ = {out[t[0]], out[t[1]], out[t[2]]};
        slabs[s] = McSlab{};
      },
      1);
  return mesh;
}

Mesh run_marching_cubes(uint64_t nx, uint64_t ny, uint64_t nz, const std::function<McSlab(uint64_t z)>& slab_body) {
  if (nx < 2 || ny < 2 || nz < 2) return {};
  if (nx > UINT32_MAX || ny > UINT32_MAX || nz > UINT32_MAX) {
    throw InternalError("marching cubes grid exceeds 32-bit sample coordinates");
  }
  Progress stage = progress_start("marching cubes", 0);
  std::vector<McSlab> slabs(nz - 1);
  parallel_for_each_index(0, nz - 1, [&](std::size_t z) { slabs[z] = slab_body(z); }, 1);
  Mesh mesh = detail::merge_mc_slabs(std::move(slabs));
  stage.finish();
  return mesh;
}

McSlab detail::voxel_mc_slab_body(const VoxelGrid& grid, uint64_t z) {
  grid.require_states();
  if (grid.nx < 2 || grid.ny < 2 || z + 1 >= grid.nz) return {};
  return mc_slab_walk(VoxelField{grid.states.data(), grid.origin, grid.cell}, grid.nx, grid.ny, z);
}

Mesh voxel_marching_cubes(const VoxelGrid& grid) {
  grid.require_states();
  return run_marching_cubes(grid.nx, grid.ny, grid.nz,
                            [&](uint64_t z) { return detail::voxel_mc_slab_body(grid, z); });
}

}  // namespace morvane
