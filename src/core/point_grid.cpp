// Nearest-point index: tie-order grid geometry plus a median-split k-d tree.
//
// The tree's pruning is exact in floating point: a subtree is skipped only when the squared
// distance from the query to the subtree's box, rounded in the same steps as a point's squared
// distance (per-axis offset, square, sum x + y + z), already exceeds the best squared distance.
// Rounding is monotone, so every skipped point would have compared greater, and every point that
// could win or tie is examined.
#include "point_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "bounds.hpp"
#include "core_errors.hpp"
#include "common/numeric.hpp"
#include "parallel.hpp"

namespace morvane {
namespace {

constexpr std::size_t kLeafSize = 8;
constexpr double kPointsPerCell = 25.0;

// Squared distance, summed x, y, z.
double distance_squared(const Vec3& p, const Vec3& q) {
  const double dx = p[0] - q[0], dy = p[1] - q[1], dz = p[2] - q[2];
  return dx * dx + dy * dy + dz * dz;
}

// Cell size for `wanted` cells over a cube of edge E, at least E / 1024. It is sized for E brought
// into [1, 2) by a power of two and scaled back, both exact: the cube neither overflows nor
// underflows, and points scaled by 2^k get the cell scaled by 2^k, so ties break the same way.
double tie_grid_cell(double E, double wanted) {
  int exponent = 0;
  const double unit = 2.0 * std::frexp(E, &exponent);
  const double cell = std::fmax(std::cbrt(unit * (unit * unit) / wanted), unit * 0.0009765625);
  return std::ldexp(cell, exponent - 1);
}

void set_tie_grid(PointGrid& grid) {
  const Bounds box = finite_bounds(grid.points);
  const Vec3 extent = box.extent();
  const double longest = std::fmax(std::fmax(extent[0], extent[1]), extent[2]);
  // Points all at one place (or none finite) share one cell, whatever its size.
  const double E = longest > 0.0 ? longest : 1.0;
  const double wanted = std::fmax(static_cast<double>(grid.points.size()) / kPointsPerCell, 1.0);
  grid.cell = tie_grid_cell(E, wanted);
  grid.inv_cell = 1.0 / grid.cell;
  grid.min = box.min;
  for (int a = 0; a < 3; ++a) {
    grid.dims[a] = std::max<uint64_t>(saturating_cast<uint64_t>(std::ceil(extent[a] * grid.inv_cell)), 1);
  }
}

// A searchable point with its index in the caller's list.
struct Entry {
  Vec3 p;
  uint32_t index;
};

// Finite points, keeping only the lowest index of each set of coincident points: those are
// equally near every query and share a cell, so the lowest index always wins among them.
std::vector<Entry> searchable_points(const std::vector<Vec3>& points) {
  std::vector<Entry> entries;
  entries.reserve(points.size());
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (is_finite(points[i])) entries.push_back({points[i], static_cast<uint32_t>(i)});
  }
  parallel_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.p != b.p ? a.p < b.p : a.index < b.index;
  });
  auto same_place = [](const Entry& a, const Entry& b) { return a.p == b.p; };
  entries.erase(std::unique(entries.begin(), entries.end(), same_place), entries.end());
  return entries;
}

// Splits node i (children at 2i + 1 and 2i + 2) at the median of its widest axis, or leaves it a
// leaf. (coordinate, index) order makes the split unique, so the tree never depends on threads.
void split_node(std::vector<Entry>& entries, std::vector<PointGridNode>& nodes, std::size_t i) {
  PointGridNode& node = nodes[i];
  if (node.end - node.begin <= kLeafSize) return;
  Bounds box;
  for (uint64_t e = node.begin; e < node.end; ++e) {
    for (int a = 0; a < 3; ++a) {
      box.min[a] = std::min(box.min[a], entries[e].p[a]);
      box.max[a] = std::max(box.max[a], entries[e].p[a]);
    }
  }
  const Vec3 extent = box.extent();
  const uint8_t axis = extent[0] >= extent[1] && extent[0] >= extent[2] ? 0 : (extent[1] >= extent[2] ? 1 : 2);
  const uint64_t mid = node.begin + (node.end - node.begin) / 2;
  std::nth_element(entries.begin() + node.begin, entries.begin() + mid, entries.begin() + node.end,
                   [axis](const Entry& a, const Entry& b) {
                     return a.p[axis] < b.p[axis] || (a.p[axis] == b.p[axis] && a.index < b.index);
                   });
  node.axis = axis;
  node.split = entries[mid].p[axis];
  nodes[2 * i + 1].begin = node.begin;
  nodes[2 * i + 1].end = mid;
  nodes[2 * i + 2].begin = mid;
  nodes[2 * i + 2].end = node.end;
}

// A median-split tree over the entries in heap layout, built level by level; the nodes of one
// level cover disjoint ranges and are split in parallel.
std::vector<PointGridNode> build_tree(std::vector<Entry>& entries) {
  unsigned depth = 0;
  for (uint64_t largest = entries.size(); largest > kLeafSize; largest -= largest / 2) ++depth;
  std::vector<PointGridNode> nodes((std::size_t{2} << depth) - 1);
  nodes[0].end = entries.size();
  for (unsigned level = 0; level < depth; ++level) {
    const std::size_t first = (std::size_t{1} << level) - 1;
    parallel_for_each_index(first, 2 * first + 1, [&](std::size_t i) { split_node(entries, nodes, i); }, 1);
  }
  return nodes;
}

// Position of a point in the tie order: ring around the query's cell, then k, j, i, then index.
using TieKey = std::array<uint64_t, 5>;

TieKey tie_key(const PointGrid& grid, const std::array<uint64_t, 3>& query_cell, uint32_t index) {
  const auto c = detail::point_grid_cell(grid.points[index], grid.min, grid.dims, grid.inv_cell);
  uint64_t ring = 0;
  for (int a = 0; a < 3; ++a) {
    ring = std::max(ring, c[a] > query_cell[a] ? c[a] - query_cell[a] : query_cell[a] - c[a]);
  }
  return {ring, c[2], c[1], c[0], index};
}

class NearestSearch {
 public:
  NearestSearch(const PointGrid& grid, const Vec3& p) : grid_(grid), p_(p) {}

  std::optional<uint32_t> run() {
    visit(0, Vec3{0, 0, 0});
    return best_;
  }

 private:
  // offset: per axis, how far the query lies outside the node's box (0 where inside).
  void visit(std::size_t node_index, Vec3 offset) {
    const PointGridNode& node = grid_.nodes[node_index];
    if (node.axis == PointGridNode::kLeaf) {
      for (uint64_t i = node.begin; i < node.end; ++i) consider(grid_.order[i], grid_.tree_points[i]);
      return;
    }
    // Left holds coordinates <= split, right >= split; the far side lies at least |diff| away.
    const double diff = p_[node.axis] - node.split;
    const std::size_t left = 2 * node_index + 1;
    visit(diff < 0 ? left : left + 1, offset);
    offset[node.axis] = diff;
    if (offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2] <= best_d2_) {
      visit(diff < 0 ? left + 1 : left, offset);
    }
  }

  void consider(uint32_t index, const Vec3& q) {
    const double d2 = distance_squared(p_, q);
    if (d2 < best_d2_) {
      best_d2_ = d2;
      best_ = index;
    } else if (d2 == best_d2_ && best_ && tie_key_of(index) < tie_key_of(*best_)) {
      best_ = index;
    }
  }

  TieKey tie_key_of(uint32_t index) {
    if (!query_cell_) query_cell_ = detail::point_grid_cell(p_, grid_.min, grid_.dims, grid_.inv_cell);
    return tie_key(grid_, *query_cell_, index);
  }

  const PointGrid& grid_;
  const Vec3& p_;
  double best_d2_ = std::numeric_limits<double>::infinity();
  std::optional<uint32_t> best_;
  std::optional<std::array<uint64_t, 3>> query_cell_;
};

}  // namespace

PointGrid build_point_grid(std::span<const Vec3> points) {
  if (points.size() > (uint64_t{1} << 32)) throw InternalError("a point grid holds at most 2^32 points");
  PointGrid grid;
  if (points.empty()) return grid;
  grid.points.assign(points.begin(), points.end());
  set_tie_grid(grid);
  std::vector<Entry> entries = searchable_points(grid.points);
  if (entries.empty()) return grid;
  grid.nodes = build_tree(entries);
  grid.tree_points.reserve(entries.size());
  grid.order.reserve(entries.size());
  for (const Entry& e : entries) {
    grid.tree_points.push_back(e.p);
    grid.order.push_back(e.index);
  }
  return grid;
}

std::array<uint64_t, 3> detail::point_grid_cell(const Vec3& p, const Vec3& min, const std::array<uint64_t, 3>& dims,
                                                 double inv_cell) {
  std::array<uint64_t, 3> c{};
  for (int a = 0; a < 3; ++a) {
    const int64_t i = saturating_cast<int64_t>(std::floor((p[a] - min[a]) * inv_cell));
    c[a] = i <= 0 ? 0 : std::min(static_cast<uint64_t>(i), dims[a] - 1);
  }
  return c;
}

std::optional<uint32_t> point_grid_nearest(const PointGrid& grid, const Vec3& p) {
  // Every squared distance from a non-finite query is NaN or infinite and can never be best.
  if (grid.nodes.empty() || !is_finite(p)) return std::nullopt;
  return NearestSearch(grid, p).run();
}

}  // namespace morvane
