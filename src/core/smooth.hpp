// Vertex smoothing filters that move positions only and keep the triangles:
// Taubin's shrink-free lambda|mu smoothing (G. Taubin, "A signal processing approach to fair
// surface design", SIGGRAPH 1995) and a bilateral filter with a normal-difference weight
// (after S. Fleishman, I. Drori, D. Cohen-Or, "Bilateral mesh denoising", SIGGRAPH 2003).
// Both run their per-vertex work in parallel; every vertex's sums keep their order (neighbour
// lists, incident triangles in list order), so the results do not depend on the worker count.
// Both report one progress item per iteration.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "grid_array.hpp"
#include "mesh.hpp"

namespace morvane {

// `iterations` rounds of a lambda step and a mu = -lambda / (1 - 0.1 lambda) step, each round's
// moves taken as far as they fold no face (move_without_folds). Leaves the positions unchanged,
// without a stage, when lambda or mu is not finite.
void taubin_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations, double lambda);

// `iterations` bilateral passes: weights exp(-|d|^2 / 2 sigma_s^2) on distance (sigma_s the mean
// edge length of the pass) and exp(-max(0, 1 - n_i.n_j) / 2 sigma_n^2) on vertex-normal
// difference. Leaves the positions unchanged, without a stage, unless sigma_n > 0 with a
// representable 2 sigma_n^2; a pass whose mean edge length gives no usable distance scale (all
// edges of length 0, or non-finite positions) ends the filtering. A move that would fold a face
// is shortened or dropped (move_without_folds).
void bilateral_smooth(std::span<Vec3> positions, std::span<const Tri> triangles, uint64_t iterations,
                      double sigma_n);

namespace detail {  // steps of the above, exposed for their tests
// Per vertex, its distinct neighbours in the order they first appear in the triangle list.
struct NeighbourLists {
  std::vector<std::size_t> start;  // the list of vertex v is [start[v], start[v + 1]) of `neighbours`
  GridArray<uint32_t> neighbours;

  std::size_t size() const { return start.empty() ? 0 : start.size() - 1; }
  std::span<const uint32_t> operator[](std::size_t v) const {
    return {neighbours.data() + start[v], neighbours.data() + start[v + 1]};
  }
};

// Throws InternalError when a triangle names a vertex that does not exist.
NeighbourLists build_neighbour_lists(std::size_t vertex_count, std::span<const Tri> triangles);

// One uniform Laplacian pass: every vertex moves `factor` of the way to the mean of its
// neighbours, all computed from the positions before the pass. scratch holds one entry per vertex.
void laplacian_step(std::span<Vec3> positions, const NeighbourLists& neighbours, std::span<Vec3> scratch,
                    double factor);
}  // namespace detail

}  // namespace morvane
