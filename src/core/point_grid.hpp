// Nearest-point index over a fixed point set.
//
// Answers are defined by a uniform cell grid over the finite points' box (about 25 points per
// cell): the nearest point by squared distance wins, and among equally near points the one met
// first by a shell search outward from the query's cell (ring by ring, then by cell k, j, i, then
// by point index). The search itself runs in a k-d tree (J. L. Bentley, "Multidimensional binary
// search trees used for associative searching", CACM 1975), so a stray point far from the rest,
// or points spread very unevenly, cannot pile everything into a few cells.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mesh.hpp"

namespace morvane {

// Node i of the tree has its children at 2i + 1 (coordinates <= split) and 2i + 2 (>= split).
struct PointGridNode {
  static constexpr uint8_t kLeaf = 3;
  double split = 0;      // coordinate along `axis` dividing the two children
  uint64_t begin = 0;    // range of PointGrid::tree_points held by this subtree
  uint64_t end = 0;
  uint8_t axis = kLeaf;  // 0, 1, 2, or kLeaf
};

struct PointGrid {
  // Owned copy of the points, in the caller's order.
  std::vector<Vec3> points;
  // The tie-order grid: cubic cells of edge `cell` from `min`, dims cells per axis (each >= 1).
  double cell = 1.0;
  double inv_cell = 1.0;
  Vec3 min{0, 0, 0};
  std::array<uint64_t, 3> dims{1, 1, 1};
  // The searchable points (finite, and the lowest index of each set of coincident points) in
  // tree order, so every tree node covers one contiguous range, with their indices in `points`.
  std::vector<Vec3> tree_points;
  std::vector<uint32_t> order;
  std::vector<PointGridNode> nodes;  // node 0 is the root when there is any searchable point
};

// Throws InternalError beyond 2^32 points (indices are u32).
PointGrid build_point_grid(std::span<const Vec3> points);

// Index of the stored point nearest to p. None when no stored point has a finite squared
// distance to p: always for an empty grid or a non-finite p; stored points with a NaN or
// infinite coordinate are never returned.
std::optional<uint32_t> point_grid_nearest(const PointGrid& grid, const Vec3& p);

namespace detail {  // steps of the above, exposed for their tests
// Cell coordinates of p in the tie-order grid, each clamped into the grid; NaN maps to 0.
std::array<uint64_t, 3> point_grid_cell(const Vec3& p, const Vec3& min, const std::array<uint64_t, 3>& dims,
                                         double inv_cell);
}  // namespace detail

}  // namespace morvane
