#include "remesh_passes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "edge_key_map.hpp"
#include "fold_free_moves.hpp"
#include "mesh_measures.hpp"
#include "parallel.hpp"
#include "progress.hpp"
#include "remesh_turn_guard.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

constexpr uint32_t kNoCorner = 0xFFFFFFFF;

// The first corner of t, in corner order, that is neither a nor b.
uint32_t apex(const Tri& t, uint32_t a, uint32_t b) {
  for (uint32_t c : t) {
    if (c != a && c != b) return c;
  }
  return kNoCorner;
}

// True when `from` is followed by `to` in t's cyclic corner order.
bool runs_from_to(const Tri& t, uint32_t from, uint32_t to) {
  return (t[0] == from && t[1] == to) || (t[1] == from && t[2] == to) || (t[2] == from && t[0] == to);
}

// One-ring sizes through a snapshot, remembered until a face of the vertex is removed: only then can
// its ring change, as the snapshot does not see the faces appended since.
class Valences {
 public:
  Valences(const RemeshMesh& mesh, const VertexFaceMap& map)
      : mesh_(mesh), map_(map), cache_(mesh.positions.size(), kUnknown) {}
  int32_t operator()(uint32_t v) {
    if (cache_[v] != kUnknown) return cache_[v];
    vertex_neighbors(mesh_, v, map_, ring_);
    return cache_[v] = static_cast<int32_t>(std::min<std::size_t>(ring_.size(), INT32_MAX));
  }
  void forget(const Tri& removed_face) {
    for (uint32_t v : removed_face) cache_[v] = kUnknown;
  }

 private:
  static constexpr int32_t kUnknown = -1;
  const RemeshMesh& mesh_;
  const VertexFaceMap& map_;
  std::vector<int32_t> cache_;
  std::vector<uint32_t> ring_;
};

// The faces appended during one pass, listed per corner: the pass's snapshot does not know them,
// but the faces around a vertex include them.
class AppendedFaces {
 public:
  explicit AppendedFaces(std::size_t vertex_count) : head_(vertex_count, kNone) {}
  void add(FaceId f, const Tri& corners) {
    for (uint32_t v : corners) {
      entries_.push_back({f, head_[v]});
      head_[v] = static_cast<uint32_t>(entries_.size() - 1);
    }
  }
  template <class Visit>
  void for_each(uint32_t v, Visit&& visit) const {
    for (uint32_t e = head_[v]; e != kNone; e = entries_[e].next) visit(entries_[e].face);
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Entry {
    FaceId face;
    uint32_t next;
  };
  std::vector<uint32_t> head_;
  std::vector<Entry> entries_;
};

}  // namespace

uint64_t flip_edges(RemeshMesh& mesh) {
  throw_if_stopped();
  const EdgeFaceMap edges = edge_face_map(mesh);
  const VertexFaceMap vertices = vertex_face_map(mesh);
  if (edges.empty()) return 0;

  // Diagonals made by this pass: the snapshot does not know them, and a second flip must not make
  // the same edge again.
  EdgeKeyMap<EdgeKey> made;
  Valences valence(mesh, vertices);
  TurnGuard turns(mesh, vertices);
  AppendedFaces appended(mesh.positions.size());
  auto for_each_face_around = [&](uint32_t v, auto&& visit) {
    for (FaceId f : vertices.faces_of(v)) {
      if (mesh.alive(f)) visit(f);
    }
    appended.for_each(v, [&](FaceId f) {
      if (mesh.alive(f)) visit(f);
    });
  };
  std::vector<FaceId> alive;
  uint64_t flips = 0;
  const std::span<const EdgeKey> keys = edge_keys(edges);
  StopPoll poll;
  for (uint32_t e = 0; e < keys.size(); ++e) {
    poll.tick();
    const uint32_t a = keys[e].a, b = keys[e].b;
    if (a == b) continue;  // a face with a repeated corner has no real edge there
    if (mesh.faces.size() + 2 > kMaxWorkingFaces) break;
    alive_edge_faces(mesh, edges.faces_of(e), alive);
    if (alive.size() != 2) continue;
    const FaceId f1 = alive[0], f2 = alive[1];
    const Tri t1 = mesh.faces[f1];
    const uint32_t c = apex(t1, a, b);
    const uint32_t d = apex(mesh.faces[f2], a, b);
    // Equal apexes would give two faces with a repeated corner.
    if (c == kNoCorner || d == kNoCorner || c == d) continue;

    const EdgeKey diagonal = edge_key(c, d);
    bool diagonal_exists = made.contains(diagonal);
    for (FaceId f : edges.faces_of(c, d)) diagonal_exists = diagonal_exists || mesh.alive(f);
    if (diagonal_exists) continue;

    const int32_t va = valence(a), vb = valence(b), vc = valence(c), vd = valence(d);
    const int64_t before = std::abs(int64_t{va} - 6) + std::abs(int64_t{vb} - 6) + std::abs(int64_t{vc} - 6) +
                           std::abs(int64_t{vd} - 6);
    const int64_t after = std::abs(int64_t{va} - 7) + std::abs(int64_t{vb} - 7) + std::abs(int64_t{vc} - 5) +
                          std::abs(int64_t{vd} - 5);
    if (after >= before) continue;

    // Both new faces keep f1's winding.
    const bool b_to_a = runs_from_to(t1, b, a);
    const Tri n1 = b_to_a ? Tri{c, d, a} : Tri{d, c, a};
    const Tri n2 = b_to_a ? Tri{d, c, b} : Tri{c, d, b};
    const Vec3 old_normal = face_normal(mesh.positions, t1);
    const Vec3 normal1 = face_normal(mesh.positions, n1), normal2 = face_normal(mesh.positions, n2);
    if (dot(normal1, old_normal) < 0.0) continue;
    if (dot(normal2, old_normal) < 0.0) continue;

    // Nothing the cleanup would remove: no degenerate new face, no face turned against its
    // corners' summed normals.
    const Tri t2 = mesh.faces[f2];
    auto degenerate = [&](const Tri& t) {
      return is_degenerate_triangle(mesh.positions[t[0]], mesh.positions[t[1]], mesh.positions[t[2]]);
    };
    if (degenerate(n1) || degenerate(n2)) continue;
    const auto appended_at = static_cast<FaceId>(mesh.faces.size());
    turns.begin_edit();
    turns.drop(f1, t1, old_normal);
    turns.drop(f2, t2, turns.normal(f2));
    turns.make(appended_at, n1, normal1);
    turns.make(appended_at + 1, n2, normal2);
    if (!turns.keeps_faces_unturned(mesh, for_each_face_around)) continue;
    turns.commit_edit();

    mesh.removed[f1] = 1;
    mesh.removed[f2] = 1;
    valence.forget(t1);
    valence.forget(t2);
    appended.add(appended_at, n1);
    mesh.add_face(n1);
    appended.add(appended_at + 1, n2);
    mesh.add_face(n2);
    made.insert(diagonal);
    ++flips;
  }
  return flips;
}

namespace {

// True when an edge from v to a ring vertex has fewer than two alive faces, counted as an edge map
// lists them (a face once per corner edge it has there). Found from v's face list alone, as every
// face on such an edge uses v; `uses` is scratch.
bool on_boundary(const RemeshMesh& mesh, std::span<const FaceId> faces_of_v, uint32_t v,
                 std::span<const uint32_t> ring, std::vector<int>& uses) {
  uses.assign(ring.size(), 0);
  for (std::size_t i = 0; i < faces_of_v.size(); ++i) {
    const FaceId f = faces_of_v[i];
    if ((i > 0 && faces_of_v[i - 1] == f) || !mesh.alive(f)) continue;  // listed once per use of v
    const Tri& t = mesh.faces[f];
    for (int k = 0; k < 3; ++k) {
      const uint32_t x = t[k], y = t[(k + 1) % 3];
      if ((x == v) == (y == v)) continue;  // not an edge from v to another vertex
      const uint32_t u = x == v ? y : x;
      ++uses[static_cast<std::size_t>(std::find(ring.begin(), ring.end(), u) - ring.begin())];
    }
  }
  return std::any_of(uses.begin(), uses.end(), [](int n) { return n < 2; });
}

}  // namespace

std::vector<Vec3> tangential_relax_targets(const RemeshMesh& mesh, double weight) {
  throw_if_stopped();
  const VertexFaceMap vertices = vertex_face_map(mesh);
  const std::size_t n = mesh.positions.size();

  // Area-weighted vertex normals, normalised where long enough to have a direction.
  std::vector<Vec3> normals(n);
  vertex_normal_sums(mesh.positions, mesh.faces, vertices.incidence(), normals);
  normalise_vertex_normals(normals);

  std::vector<Vec3> moved = mesh.positions;
  std::vector<uint32_t> ring;
  std::vector<int> uses;
  StopPoll poll;
  for (std::size_t vi = 0; vi < n; ++vi) {
    poll.tick();
    const auto v = static_cast<uint32_t>(vi);
    vertex_neighbors(mesh, v, vertices, ring);
    if (ring.empty()) continue;
    // Boundary vertices stay; an edge with more than two faces does not make a boundary.
    if (on_boundary(mesh, vertices.faces_of(v), v, ring, uses)) continue;
    Vec3 sum{0, 0, 0};
    for (uint32_t u : ring) sum += mesh.positions[u];
    const auto count = static_cast<double>(ring.size());
    const Vec3 centroid{sum[0] / count, sum[1] / count, sum[2] / count};
    const Vec3& p = mesh.positions[v];
    const Vec3 step = (centroid - p) * weight;
    const Vec3& nv = normals[v];
    moved[v] = (p + step) - nv * dot(nv, step);
  }
  return moved;
}

void detail::tangential_relax(RemeshMesh& mesh, double weight) {
  move_alive_without_folds(mesh, tangential_relax_targets(mesh, weight));
}

Mesh cleanup_bad_triangles(RemeshMesh mesh) {
  throw_if_stopped();
  // 1. Degenerate faces (not counted).
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (!mesh.alive(f)) continue;
    const Tri& t = mesh.faces[f];
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0] ||
        is_degenerate_triangle(mesh.positions[t[0]], mesh.positions[t[1]], mesh.positions[t[2]])) {
      mesh.removed[f] = 1;
    }
  }

  // 2. Faces turned over: against the summed normals of their corners' faces and against every face
  //    across their edges (an edge with other than two alive faces has none across), all judged
  //    before any is removed. Each test alone is fooled by a sound surface: the corner sums by a
  //    small face in a sharp groove, whose corners' other faces lean over it, and the faces across
  //    by a sharp convex corner such as a tetrahedron's. Removing such faces would open holes.
  uint64_t count = 0;
  EdgeFaceMap edges = edge_face_map(mesh);
  const std::vector<Vec3> sums = vertex_normal_sums(mesh.positions, mesh.faces, mesh.removed);
  std::vector<Vec3> normals(mesh.faces.size());
  parallel_for_each_index(0, mesh.faces.size(), [&](std::size_t f) {
    if (mesh.alive(f)) normals[f] = face_normal(mesh.positions, mesh.faces[f]);
  });
  std::vector<uint8_t> turned(mesh.faces.size(), 0);
  parallel_for_each_index(0, mesh.faces.size(), [&](std::size_t f) {
    if (!mesh.alive(f)) return;
    const Tri& t = mesh.faces[f];
    if (!(dot(normals[f], (sums[t[0]] + sums[t[1]]) + sums[t[2]]) < 0.0)) return;
    bool any_across = false, all_opposed = true;
    for (int k = 0; k < 3 && all_opposed; ++k) {
      const std::span<const FaceId> listed = edges.faces_of(t[k], t[(k + 1) % 3]);
      if (listed.size() != 2) continue;  // the map lists the alive faces only
      const FaceId g = listed[0] == f ? listed[1] : listed[0];
      any_across = true;
      all_opposed = dot(normals[f], normals[g]) < 0.0;
    }
    turned[f] = any_across && all_opposed;
  });
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (turned[f]) {
      mesh.removed[f] = 1;
      ++count;
    }
  }
  if (count > 0) edges = edge_face_map(mesh);

  // 3. Overfull edges keep their two lowest faces.
  for (uint32_t e = 0; e < edges.size(); ++e) {
    int kept = 0;
    for (FaceId f : edges.faces_of(e)) {
      if (!mesh.alive(f)) continue;
      if (++kept > 2) {
        mesh.removed[f] = 1;
        ++count;
      }
    }
  }

  if (count > 0) report(fmt::format("    Cleanup: removed {} bad triangles\n", count));
  compact_mesh(mesh);
  return Mesh{std::move(mesh.positions), std::move(mesh.faces)};
}

}  // namespace morvane
