// Hole filling: the fan that pinhole sealing has always used where it is sound, else the best
// triangulation by dynamic programming over the loop's sub-polygons (as in P. Liepa, "Filling
// Holes in Meshes", 2003, with the smallest angle to the loop's direction as the weight).
#include "hole_fill.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane {
namespace {

// A fill face by the loop positions of its corners, in winding order.
struct FillFace {
  uint32_t i, j, k;
};

class Hole {
 public:
  Hole(std::span<const Vec3> positions, const HoleLoop& loop, const std::function<bool(EdgeKey)>& is_edge)
      : positions_(positions), loop_(loop), is_edge_(is_edge), n_(loop.vertices.size()) {}

  std::size_t size() const { return n_; }

  bool is_loop_edge(std::size_t i, std::size_t j) const { return j == i + 1 || (i == 0 && j == n_ - 1); }

  // True when the edge between loop positions i < j is a side of the loop or a new edge.
  bool can_join(std::size_t i, std::size_t j) const {
    return is_loop_edge(i, j) || !is_edge_(edge_key(loop_.vertices[i], loop_.vertices[j]));
  }

  Tri corners(const FillFace& f) const { return {loop_.vertices[f.i], loop_.vertices[f.j], loop_.vertices[f.k]}; }
  Vec3 normal(const FillFace& f) const { return face_normal(positions_, corners(f)); }
  bool degenerate(const FillFace& f) const {
    const Tri t = corners(f);
    return is_degenerate_triangle(positions_[t[0]], positions_[t[1]], positions_[t[2]]);
  }

  // The loop's vector area (twice it): the sum of the normals of any of its triangulations.
  Vec3 direction() const {
    Vec3 sum{0, 0, 0};
    const Vec3& o = positions_[loop_.vertices[0]];
    for (std::size_t i = 1; i + 1 < n_; ++i) {
      sum += cross(positions_[loop_.vertices[i]] - o, positions_[loop_.vertices[i + 1]] - o);
    }
    return sum;
  }

  // The fan from loop position `apex`, or none when one of its diagonals already exists.
  std::vector<FillFace> fan(std::size_t apex) const {
    std::vector<FillFace> faces;
    for (std::size_t s = 1; s + 1 < n_; ++s) {
      const std::size_t b = (apex + s) % n_, c = (apex + s + 1) % n_;
      if (!can_join(std::min(apex, b), std::max(apex, b)) || !can_join(std::min(apex, c), std::max(apex, c))) return {};
      faces.push_back({static_cast<uint32_t>(apex), static_cast<uint32_t>(b), static_cast<uint32_t>(c)});
    }
    return faces;
  }

  // The triangulation that maximises the smallest cosine between a face's normal and the loop's
  // direction, among those of new diagonals and no degenerate face; empty when there is none.
  std::vector<FillFace> straightest() const {
    const Vec3 d = direction();
    const double dl = length(d);
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    // best[i][j]: the best smallest cosine over the sub-polygon i..j (j > i), +inf for one edge.
    std::vector<double> best(n_ * n_, kNone);
    std::vector<uint32_t> choice(n_ * n_, 0);
    for (std::size_t i = 0; i + 1 < n_; ++i) best[i * n_ + i + 1] = std::numeric_limits<double>::infinity();
    for (std::size_t span = 2; span < n_; ++span) {
      for (std::size_t i = 0; i + span < n_; ++i) {
        const std::size_t j = i + span;
        if (!can_join(i, j)) continue;
        for (std::size_t k = i + 1; k < j; ++k) {
          const double inner = std::min(best[i * n_ + k], best[k * n_ + j]);
          if (inner == kNone) continue;
          const FillFace f{static_cast<uint32_t>(i), static_cast<uint32_t>(k), static_cast<uint32_t>(j)};
          if (degenerate(f)) continue;
          const Vec3 nf = normal(f);
          const double cosine = dl > 0 ? dot(nf, d) / (length(nf) * dl) : 0.0;
          const double value = std::min(inner, cosine);
          if (value > best[i * n_ + j]) {
            best[i * n_ + j] = value;
            choice[i * n_ + j] = static_cast<uint32_t>(k);
          }
        }
      }
    }
    std::vector<FillFace> faces;
    if (best[n_ - 1] == kNone) return faces;
    std::vector<std::pair<std::size_t, std::size_t>> pending = {{0, n_ - 1}};
    while (!pending.empty()) {
      const auto [i, j] = pending.back();
      pending.pop_back();
      if (j < i + 2) continue;
      const std::size_t k = choice[i * n_ + j];
      faces.push_back({static_cast<uint32_t>(i), static_cast<uint32_t>(k), static_cast<uint32_t>(j)});
      pending.push_back({i, k});
      pending.push_back({k, j});
    }
    return faces;
  }

  // No face is degenerate, and none opposes every face across its edges.
  bool sound(const std::vector<FillFace>& faces) const {
    std::vector<Vec3> normals(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
      if (degenerate(faces[f])) return false;
      normals[f] = normal(faces[f]);
    }
    for (std::size_t f = 0; f < faces.size(); ++f) {
      const std::size_t c[3] = {faces[f].i, faces[f].j, faces[f].k};
      bool all_opposed = true;
      for (int e = 0; e < 3 && all_opposed; ++e) {
        const std::size_t i = std::min(c[e], c[(e + 1) % 3]), j = std::max(c[e], c[(e + 1) % 3]);
        all_opposed = dot(normals[f], across(faces, normals, f, i, j)) < 0.0;
      }
      if (all_opposed) return false;
    }
    return true;
  }

 private:
  // The normal of the face across the edge between loop positions i < j from fill face f.
  Vec3 across(const std::vector<FillFace>& faces, const std::vector<Vec3>& normals, std::size_t f, std::size_t i,
              std::size_t j) const {
    if (is_loop_edge(i, j)) return loop_.rim_normals[j == i + 1 ? i : j];
    for (std::size_t g = 0; g < faces.size(); ++g) {
      const FillFace& o = faces[g];
      if (g != f && (o.i == i || o.j == i || o.k == i) && (o.i == j || o.j == j || o.k == j)) return normals[g];
    }
    return {0, 0, 0};  // unreachable in a triangulation: every diagonal has two faces
  }

  std::span<const Vec3> positions_;
  const HoleLoop& loop_;
  const std::function<bool(EdgeKey)>& is_edge_;
  std::size_t n_;
};

}  // namespace

bool fill_hole(std::span<const Vec3> positions, const HoleLoop& loop, const std::function<bool(EdgeKey)>& is_edge,
               std::vector<Tri>& out) {
  const Hole hole(positions, loop, is_edge);
  if (hole.size() < 3) return false;
  std::vector<FillFace> faces;
  for (std::size_t apex = 0; apex < hole.size() && faces.empty(); ++apex) faces = hole.fan(apex);
  if (faces.empty() || !hole.sound(faces)) {
    faces = hole.straightest();
    if (faces.empty() || !hole.sound(faces)) return false;
  }
  for (const FillFace& f : faces) out.push_back(hole.corners(f));
  return true;
}

}  // namespace morvane
