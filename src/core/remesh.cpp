#include "remesh.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <fmt/format.h>

#include "common/numeric.hpp"
#include "mesh_measures.hpp"
#include "parallel.hpp"
#include "progress.hpp"
#include "remesh_passes.hpp"
#include "remesh_turn_guard.hpp"
#include "run_context.hpp"
#include "sdf_sampling.hpp"
#include "common/text_format.hpp"

namespace morvane {
namespace {

constexpr uint64_t kSplitFaceCap = 400'000'000;
constexpr uint64_t kIterationFloorWithTarget = 25;
constexpr double kBudgetSlack = 1.15;  // stop once at most this many times target_faces are alive
constexpr double kNoAngleBelow = 1e-12;  // in target lengths: a shorter edge gives its corners no angle

// Vertices locked within one split pass or collapse phase. A stamp per vertex makes clearing O(1).
class VertexLocks {
 public:
  void reset(std::size_t vertex_count) {
    if (stamps_.size() < vertex_count) stamps_.resize(vertex_count, 0);
    if (++epoch_ == 0) {  // wrapped: old stamps could look current
      std::fill(stamps_.begin(), stamps_.end(), 0);
      epoch_ = 1;
    }
  }
  bool locked(uint32_t v) const { return v < stamps_.size() && stamps_[v] == epoch_; }
  void lock(uint32_t v) {
    if (v < stamps_.size()) stamps_[v] = epoch_;  // vertices made during the pass are never tested
  }

 private:
  std::vector<uint32_t> stamps_;
  uint32_t epoch_ = 0;
};

double edge_length(const RemeshMesh& mesh, uint32_t a, uint32_t b) {
  return length(mesh.positions[a] - mesh.positions[b]);
}

bool any_alive(const RemeshMesh& mesh, std::span<const FaceId> listed) {
  return std::any_of(listed.begin(), listed.end(), [&](FaceId f) { return mesh.alive(f); });
}

// Faces with a non-finite corner cannot be measured or moved soundly, and relaxation would carry
// the NaN to every neighbour: they take no part.
void drop_non_finite_faces(RemeshMesh& mesh) {
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    const Tri& t = mesh.faces[f];
    if (!is_finite(mesh.positions[t[0]]) || !is_finite(mesh.positions[t[1]]) || !is_finite(mesh.positions[t[2]])) {
      mesh.removed[f] = 1;
    }
  }
}

double alive_area(const RemeshMesh& mesh) {
  double area = 0.0;
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.alive(f)) area += 0.5 * length(face_normal(mesh.positions, mesh.faces[f]));
  }
  return area;
}

// Orders the candidates by `before` on their lengths, equal lengths in gathering order, on the
// pool: the gathering index settles every tie, so any split of the sort gives the stable order.
template <class Before>
void sort_by_length(std::vector<SplitCandidate>& candidates, Before&& before) {
  std::vector<uint32_t> order(candidates.size());
  parallel_for_each_index(0, order.size(), [&](std::size_t i) { order[i] = static_cast<uint32_t>(i); });
  parallel_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
    const double lx = candidates[x].length, ly = candidates[y].length;
    return before(lx, ly) || (!before(ly, lx) && x < y);
  });
  std::vector<SplitCandidate> sorted(candidates.size());
  parallel_for_each_index(0, order.size(), [&](std::size_t i) { sorted[i] = candidates[order[i]]; });
  candidates = std::move(sorted);
}

// Longest first; equal lengths keep their gathering order.
void sort_longest_first(std::vector<SplitCandidate>& candidates) {
  sort_by_length(candidates, [](double x, double y) { return x > y; });
}

// Split passes until one splits nothing. Each pass takes the edges above limit(a, b), longest
// first, and skips those touching a vertex locked by an earlier split of the pass, so the pass's
// snapshot stays valid for every edge it splits. `on_split(a, b)` runs after each split. Ends early
// at the face ceiling or the working mesh's size limits.
template <class Limit, class OnSplit>
uint64_t split_phase(RemeshMesh& mesh, uint64_t face_ceiling, VertexLocks& locks, Limit&& limit, OnSplit&& on_split) {
  uint64_t splits = 0;
  uint64_t alive = mesh.alive_count();
  std::vector<SplitCandidate> candidates;
  std::vector<uint32_t> apexes;
  bool at_limit = false;
  while (!at_limit) {
    throw_if_stopped();
    const EdgeFaceMap edges = edge_face_map(mesh);
    candidates.clear();
    StopPoll poll;
    for (uint32_t e = 0; e < edges.size(); ++e) {
      poll.tick();
      const EdgeKey key = edge_keys(edges)[e];
      if (key.a == key.b || !any_alive(mesh, edges.faces_of(e))) continue;
      const double len = edge_length(mesh, key.a, key.b);
      // An infinite length stays infinite through any number of halvings.
      if (std::isfinite(len) && len > limit(key.a, key.b)) candidates.push_back({key.a, key.b, len});
    }
    if (candidates.empty()) break;
    sort_longest_first(candidates);

    locks.reset(mesh.positions.size());
    uint64_t pass_splits = 0;
    for (const SplitCandidate& c : candidates) {
      poll.tick();
      if (locks.locked(c.a) || locks.locked(c.b)) continue;
      const std::span<const FaceId> listed = edges.faces_of(c.a, c.b);
      if (!any_alive(mesh, listed)) continue;
      const double len = edge_length(mesh, c.a, c.b);
      if (!(std::isfinite(len) && len > limit(c.a, c.b))) continue;
      apexes.clear();
      uint64_t faces_on_edge = 0;
      for (FaceId f : listed) {
        if (!mesh.alive(f)) continue;
        ++faces_on_edge;
        for (uint32_t v : mesh.faces[f]) {
          if (v != c.a && v != c.b) apexes.push_back(v);
        }
      }
      if (alive >= face_ceiling || mesh.positions.size() >= kMaxWorkingVertices ||
          mesh.faces.size() + 2 * faces_on_edge > kMaxWorkingFaces) {
        at_limit = true;
        break;
      }
      split_edge(mesh, c.a, c.b, edges);
      on_split(c.a, c.b);
      locks.lock(c.a);
      locks.lock(c.b);
      for (uint32_t v : apexes) locks.lock(v);
      alive += faces_on_edge;  // each face on the edge became two
      ++pass_splits;
    }
    splits += pass_splits;
    if (pass_splits == 0) break;
  }
  return splits;
}

// One collapse pass over the edges below limit(a, b), shortest first. A collapse locks both ends
// and every corner of their faces, so later collapses of the pass meet only unchanged
// neighbourhoods; a refused collapse locks nothing.
template <class Limit>
uint64_t collapse_phase(RemeshMesh& mesh, VertexLocks& locks, Limit&& limit) {
  throw_if_stopped();
  const EdgeFaceMap edges = edge_face_map(mesh);
  const VertexFaceMap vertices = vertex_face_map(mesh);
  std::vector<SplitCandidate> candidates;
  StopPoll poll;
  for (uint32_t e = 0; e < edges.size(); ++e) {
    poll.tick();
    const EdgeKey key = edge_keys(edges)[e];
    if (key.a == key.b || !any_alive(mesh, edges.faces_of(e))) continue;
    const double len = edge_length(mesh, key.a, key.b);
    if (len < limit(key.a, key.b)) candidates.push_back({key.a, key.b, len});
  }
  sort_by_length(candidates, [](double x, double y) { return x < y; });  // shortest first

  locks.reset(mesh.positions.size());
  TurnGuard turns(mesh, vertices);
  uint64_t collapses = 0;
  for (const SplitCandidate& c : candidates) {
    poll.tick();
    if (locks.locked(c.a) || locks.locked(c.b)) continue;
    if (!collapse_edge(mesh, c.a, c.b, edges, vertices, turns)) continue;
    locks.lock(c.a);
    locks.lock(c.b);
    for (uint32_t v : {c.a, c.b}) {
      for (FaceId f : vertices.faces_of(v)) {
        if (!mesh.alive(f)) continue;
        for (uint32_t corner : mesh.faces[f]) locks.lock(corner);
      }
    }
    ++collapses;
  }
  return collapses;
}

// Relaxation and then, given a distance field, the pull onto its level set, taken as one move per
// vertex that is shortened or dropped where it would fold a face.
void relax_and_project(RemeshMesh& mesh, double weight, const ProjectionTarget* target) {
  std::vector<Vec3> targets = tangential_relax_targets(mesh, weight);
  if (target != nullptr && target->grid != nullptr) {
    project_to_sdf(targets, *target->grid, 2, target->level, target->max_move);
  }
  move_alive_without_folds(mesh, targets);
}

void write_iteration_line(uint64_t k, uint64_t splits, uint64_t collapses, uint64_t flips, uint64_t before,
                          uint64_t after) {
  report(fmt::format("    Iter {}: {} splits, {} collapses, {} flips, {} -> {} tris\n", k, splits, collapses,
                     flips, before, after));
}

void run_uniform(RemeshMesh& mesh, double t, const RemeshParams& params, const ProjectionTarget* target) {
  const double high = (t * 4.0) / 3.0;
  const double low = (t * 4.0) / 5.0;
  const uint64_t n = params.target_faces ? std::max(params.iterations, kIterationFloorWithTarget) : params.iterations;
  const double budget = params.target_faces ? static_cast<double>(*params.target_faces) * kBudgetSlack : 0.0;

  report(fmt::format("    Remeshing: target_edge={}, high={}, low={}, {} iterations\n", fixed(t, 4),
                     fixed(high, 4), fixed(low, 4), n));

  const uint64_t ceiling = detail::split_face_ceiling(mesh.alive_count(), alive_area(mesh), t);
  VertexLocks locks;
  for (uint64_t k = 1; k <= n; ++k) {
    throw_if_stopped();
    const uint64_t before = mesh.alive_count();
    const uint64_t splits = split_phase(mesh, ceiling, locks, [&](uint32_t, uint32_t) { return high; },
                                        [](uint32_t, uint32_t) {});
    const uint64_t collapses = collapse_phase(mesh, locks, [&](uint32_t, uint32_t) { return low; });
    const uint64_t flips = flip_edges(mesh);
    relax_and_project(mesh, params.relax_weight, target);
    const uint64_t after = mesh.alive_count();
    write_iteration_line(k, splits, collapses, flips, before, after);

    if (params.target_faces && budget >= static_cast<double>(after)) break;
    if (splits + collapses + flips == 0) break;
    // Uniform mode only ever compares vertex ids, walks faces in ascending order and ignores dead
    // faces and vertices, all of which compaction preserves: dropping them here changes no
    // result but keeps the passes from walking an ever longer list of dead faces.
    if (mesh.faces.size() - after > after) compact_mesh(mesh);
  }
}

void run_adaptive(RemeshMesh& mesh, double t, const RemeshParams& params, const ProjectionTarget* target) {
  report(fmt::format("    Adaptive remeshing: base_target={}, min_factor={}, max_factor={}, {} iterations\n",
                     fixed(t, 4), fixed(params.min_factor, 2), fixed(params.max_factor, 2), params.iterations));

  const double min_factor = params.min_factor, max_factor = params.max_factor;
  auto local_target = [&](const std::vector<double>& s, uint32_t a, uint32_t b) {
    return t * (max_factor + (min_factor - max_factor) * (0.5 * (s[a] + s[b])));
  };
  const uint64_t ceiling =
      detail::split_face_ceiling(mesh.alive_count(), alive_area(mesh), t * std::fmin(min_factor, max_factor));
  // An edge this short has no direction to measure an angle by.
  const double shortest_edge = kNoAngleBelow * t;
  VertexLocks locks;
  for (uint64_t i = 0; i < params.iterations; ++i) {
    throw_if_stopped();
    const uint64_t before = mesh.alive_count();
    std::vector<double> s = detail::curvature_sizing(mesh, shortest_edge);
    const uint64_t splits = split_phase(
        mesh, ceiling, locks, [&](uint32_t a, uint32_t b) { return (local_target(s, a, b) * 4.0) / 3.0; },
        // A midpoint takes the mean sizing of its edge's ends for the rest of the phase.
        [&](uint32_t a, uint32_t b) { s.push_back(0.5 * (s[a] + s[b])); });
    s = detail::curvature_sizing(mesh, shortest_edge);
    const uint64_t collapses =
        collapse_phase(mesh, locks, [&](uint32_t a, uint32_t b) { return (local_target(s, a, b) * 4.0) / 5.0; });
    const uint64_t flips = flip_edges(mesh);
    relax_and_project(mesh, params.relax_weight, target);
    if (i % 2 == 1) compact_mesh(mesh);
    write_iteration_line(i + 1, splits, collapses, flips, before, mesh.alive_count());
  }
}

}  // namespace

uint64_t detail::split_face_ceiling(uint64_t alive_faces, double area, double smallest_target) {
  const double equilateral_area = std::sqrt(3.0) / 4.0 * smallest_target * smallest_target;
  // NaN (no area and a vanishing target) loses to the face count; a non-positive target gives +inf.
  double budget = static_cast<double>(alive_faces);
  if (smallest_target > 0.0) {
    budget = std::fmax(budget, area / equilateral_area);
  } else {
    budget = INFINITY;
  }
  return std::min(saturating_cast<uint64_t>(16.0 * budget), kSplitFaceCap);
}

std::vector<double> detail::positive_values(std::span<const double> values) {
  std::vector<double> out;
  for (double v : values) {
    if (v > 0.0) out.push_back(v);
  }
  return out;
}

std::vector<double> detail::curvature_sizing(const RemeshMesh& mesh, double shortest_edge) {
  std::vector<double> sums(mesh.positions.size(), 0.0);
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (!mesh.alive(f)) continue;
    const Tri& t = mesh.faces[f];
    for (int k = 0; k < 3; ++k) {
      const uint32_t corner = t[k];
      const Vec3 e1 = mesh.positions[t[(k + 1) % 3]] - mesh.positions[corner];
      const Vec3 e2 = mesh.positions[t[(k + 2) % 3]] - mesh.positions[corner];
      const double l1 = length(e1), l2 = length(e2);
      if (!(l1 > shortest_edge && l2 > shortest_edge)) continue;
      const double cosine = std::clamp(dot(e1, e2) / (l1 * l2), -1.0, 1.0);
      sums[corner] += std::acos(cosine);
    }
  }
  constexpr double kFullAngle = 2.0 * std::numbers::pi;
  std::vector<double> defect(sums.size());
  for (std::size_t v = 0; v < sums.size(); ++v) defect[v] = std::fabs(kFullAngle - sums[v]);

  std::vector<double> positive = positive_values(defect);
  if (positive.empty()) return defect;
  std::sort(positive.begin(), positive.end());
  const std::size_t m = positive.size();
  const std::size_t idx = std::min(m - 1, saturating_cast<std::size_t>(std::floor(static_cast<double>(m) * 0.95)));
  const double scale = std::fmax(positive[idx], 1e-10);
  for (double& d : defect) {
    d /= scale;
    if (d < 0.0) d = 0.0;
    if (d > 1.0) d = 1.0;
  }
  return defect;
}

Mesh isotropic_remesh(std::span<const Vec3> positions, std::span<const Tri> faces, const RemeshParams& params,
                      const ProjectionTarget* target) {
  RemeshMesh mesh = make_remesh_mesh(positions, faces);
  drop_non_finite_faces(mesh);
  // An explicit target that is not a positive finite length would split forever or never; the
  // mean length of the alive faces' distinct edges stands in for it.
  const bool usable_target = params.target_edge && std::isfinite(*params.target_edge) && *params.target_edge > 0.0;
  const double t =
      usable_target ? *params.target_edge : mean_edge_length(mesh.positions, edge_keys(edge_face_map(mesh)));
  if (params.adaptive) {
    run_adaptive(mesh, t, params, target);
  } else {
    run_uniform(mesh, t, params, target);
  }
  return cleanup_bad_triangles(std::move(mesh));
}

}  // namespace morvane
