// The remesher's working mesh and its local edge operations: a plain face list with one removed
// flag per face, adjacency snapshots rebuilt per pass (edge -> faces, vertex -> faces), the
// one-ring query, edge split, edge collapse (the link condition of Dey et al., "Topology Preserving
// Edge Contraction", 1999, and a normal-flip test) and the compaction that drops dead faces and
// vertices.
//
// Faces are only appended or flagged while a run lasts; only compact_mesh renumbers, and it keeps
// survivors in their order. The snapshots are never updated: every reader re-tests the removed
// flag of each face it finds listed.
//
// Iteration order is defined by the mesh itself, never by a hash table's layout: the edges of an
// EdgeFaceMap come in order of first appearance over the alive faces taken in ascending face
// order, with the corner edges (x, y), (y, z), (z, x) of each face; one-rings list their
// vertices in order of first appearance over the vertex's faces (ascending), corners x, y, z.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "mesh.hpp"

namespace morvane {

// Face index inside one working mesh.
using FaceId = uint32_t;

// Size limits of a working mesh. Every adjacency list and count then fits in 32 bits (three
// entries per face), and 0xFFFFFFFF stays free as the "no vertex" mark of compaction.
inline constexpr std::size_t kMaxWorkingFaces = 1'000'000'000;
inline constexpr std::size_t kMaxWorkingVertices = 0xFFFFFFFE;

struct RemeshMesh {
  std::vector<Vec3> positions;  // index = vertex id
  std::vector<Tri> faces;       // index = face id
  std::vector<uint8_t> removed;  // one per face: 1 = removed, 0 = alive

  bool alive(std::size_t f) const { return removed[f] == 0; }
  void add_face(const Tri& t) {
    faces.push_back(t);
    removed.push_back(0);
  }
  uint64_t alive_count() const;
};

// Builds a working mesh from copies of a mesh's lists, every face alive.
RemeshMesh make_remesh_mesh(std::span<const Vec3> positions, std::span<const Tri> faces);

// An undirected edge: a <= b.
struct EdgeKey {
  uint32_t a;
  uint32_t b;
};

inline EdgeKey edge_key(uint32_t u, uint32_t v) { return u < v ? EdgeKey{u, v} : EdgeKey{v, u}; }

// Edge -> alive faces on it, in ascending face order (a face with a repeated corner is listed twice
// under its other edge and once under the self-edge (x, x)). Edges are numbered in order of
// first appearance; see the file comment. Lookups go through the edges bucketed under their
// smaller vertex, a short list that sits near the lists of the faces' other vertices.
class EdgeFaceMap {
 public:
  static constexpr uint32_t kAbsent = 0xFFFFFFFF;

  bool empty() const { return keys_.empty(); }
  std::size_t size() const { return keys_.size(); }
  std::span<const EdgeKey> keys() const { return keys_; }
  // The edge's number, or kAbsent.
  uint32_t find(uint32_t u, uint32_t v) const;
  std::span<const FaceId> faces_of(uint32_t edge) const {
    return {faces_.data() + offsets_[edge], faces_.data() + offsets_[edge + 1]};
  }
  // Faces listed for the edge (u, v) in either order; empty when the edge is absent.
  std::span<const FaceId> faces_of(uint32_t u, uint32_t v) const {
    const uint32_t e = find(u, v);
    return e == kAbsent ? std::span<const FaceId>() : faces_of(e);
  }

 private:
  friend EdgeFaceMap edge_face_map(const RemeshMesh& mesh);
  std::vector<EdgeKey> keys_;
  std::vector<uint32_t> offsets_;  // CSR: faces of edge e are faces_[offsets_[e], offsets_[e + 1])
  std::vector<FaceId> faces_;
  // Edges bucketed by smaller vertex a: larger vertices upper_[bucket_[a], bucket_[a + 1]) sorted
  // ascending, and the edge number of each.
  std::vector<uint32_t> bucket_;
  std::vector<uint32_t> upper_;
  std::vector<uint32_t> upper_edge_;
};

// Vertex -> alive faces using it, in ascending face order (a face with a repeated corner is listed
// once per corner). Vertices added after the snapshot have no entry.
class VertexFaceMap {
 public:
  std::span<const FaceId> faces_of(uint32_t v) const {
    if (std::size_t{v} + 1 >= offsets_.size()) return {};
    return {faces_.data() + offsets_[v], faces_.data() + offsets_[v + 1]};
  }

 private:
  friend VertexFaceMap vertex_face_map(const RemeshMesh& mesh);
  std::vector<uint32_t> offsets_;  // CSR over vertex ids at the time of the snapshot
  std::vector<FaceId> faces_;
};

// A candidate edge of a split pass or collapse phase; `length` as measured when gathered.
struct SplitCandidate {
  uint32_t a;  // smaller vertex id
  uint32_t b;  // larger vertex id
  double length;
};

EdgeFaceMap edge_face_map(const RemeshMesh& mesh);
VertexFaceMap vertex_face_map(const RemeshMesh& mesh);

// The map's edges in its iteration order.
inline std::span<const EdgeKey> edge_keys(const EdgeFaceMap& map) { return map.keys(); }

// The faces of `listed` whose removed flag is clear, in list order.
void alive_edge_faces(const RemeshMesh& mesh, std::span<const FaceId> listed, std::vector<FaceId>& out);

// One-ring of v: every other corner of the alive faces listed for v, each once, in order of first
// appearance. Its length is v's valence.
void vertex_neighbors(const RemeshMesh& mesh, uint32_t v, const VertexFaceMap& map, std::vector<uint32_t>& ring);
std::vector<uint32_t> vertex_neighbors(const RemeshMesh& mesh, uint32_t v, const VertexFaceMap& map);

// The members of ring_a that are also in ring_b, in ring_a's order.
void shared_neighbors(std::span<const uint32_t> ring_a, std::span<const uint32_t> ring_b, std::vector<uint32_t>& out);

// The cleanup's turned-over test, kept current through one pass of collapses or flips: the summed
// normals of the alive faces around every vertex (those cleanup_bad_triangles tests each face
// against), and a planned edit judged against them before it is made. An operation that would
// leave a face for the cleanup to remove is refused instead, so the cleanup opens no holes.
class TurnGuard {
 public:
  explicit TurnGuard(const RemeshMesh& mesh);

  // Starts planning an edit: faces it drops (removes or rewrites) and faces it makes, each with its
  // normal (the rewritten face's normal with the positions the edit gives its corners) and the
  // index the made face will have.
  void begin_edit();
  void drop(FaceId f, const Tri& corners, const Vec3& normal);
  void make(FaceId f, const Tri& corners, const Vec3& normal);

  // The normal of alive face f as the mesh is now.
  const Vec3& normal(FaceId f) const { return normals_[f]; }
  bool dropped(FaceId f) const { return std::find(dropped_.begin(), dropped_.end(), f) != dropped_.end(); }

  // True when the edit leaves no face turned over that was not before: no made face opposes its
  // corners' summed normals or the normals of all the faces across its edges, and no alive face
  // around a vertex the edit touches comes to oppose its corners' sums, nor a face across an edge
  // from a made face all of its neighbours. for_each_face_around(v, fn) calls fn(f) for every alive
  // face around vertex v as the mesh is before the edit.
  template <class ForEachFaceAround>
  bool keeps_faces_unturned(const RemeshMesh& mesh, ForEachFaceAround&& for_each_face_around) const {
    for (const Made& made : made_) {
      const Tri& t = made.corners;
      if (dot(made.normal, (after(t[0]) + after(t[1])) + after(t[2])) < 0.0) return false;
    }
    for (const Touched& touched : touched_) {
      bool turns = false;
      for_each_face_around(touched.vertex, [&](FaceId f) {
        if (turns || dropped(f)) return;
        const Tri& t = mesh.faces[f];
        const Vec3& n = normals_[f];
        if (dot(n, (sums_[t[0]] + sums_[t[1]]) + sums_[t[2]]) < 0.0) return;  // turned before the edit
        turns = dot(n, (after(t[0]) + after(t[1])) + after(t[2])) < 0.0;
      });
      if (turns) return false;
    }

    for (std::size_t m = 0; m < made_.size(); ++m) {
      const Tri& t = made_[m].corners;
      const Vec3& n = made_[m].normal;
      if (opposes_all_across(mesh, for_each_face_around, t, n, kNoFace, m)) return false;
      for (int k = 0; k < 3; ++k) {
        bool turns = false;
        for_each_face_around(t[k], [&](FaceId g) {
          const Tri& c = mesh.faces[g];
          const uint32_t v = t[(k + 1) % 3];
          if (turns || dropped(g) || (c[0] != v && c[1] != v && c[2] != v)) return;
          const Vec3& gn = normals_[g];
          // Only a face that opposes the made face across their edge can come to oppose all.
          turns = dot(gn, n) < 0.0 && opposes_all_across(mesh, for_each_face_around, c, gn, g, made_.size()) &&
                  !opposes_all_across(mesh, for_each_face_around, c, gn, g, kBeforeEdit);
        });
        if (turns) return false;
      }
    }
    return true;
  }

  // Brings the sums up to date once the planned edit is made.
  void commit_edit();

 private:
  struct Touched {
    uint32_t vertex;
    Vec3 change;
  };
  static constexpr FaceId kNoFace = 0xFFFFFFFF;
  static constexpr std::size_t kBeforeEdit = SIZE_MAX;

  // True when the face (t, n) has a face across some edge and opposes every face across its edges
  // (an edge with two or more other faces has none across). The face is alive face `self` or made
  // face `self_made`; with self_made = kBeforeEdit the mesh is taken as before the edit, otherwise
  // as after it.
  template <class ForEachFaceAround>
  bool opposes_all_across(const RemeshMesh& mesh, ForEachFaceAround&& for_each_face_around, const Tri& t,
                          const Vec3& n, FaceId self, std::size_t self_made) const {
    const bool after_edit = self_made != kBeforeEdit;
    bool any_across = false;
    for (int k = 0; k < 3; ++k) {
      const uint32_t u = t[k], v = t[(k + 1) % 3];
      int found = 0;
      Vec3 other{0, 0, 0};
      auto consider = [&](const Vec3& normal) {
        ++found;
        other = normal;
      };
      if (after_edit) {
        for (std::size_t m = 0; m < made_.size(); ++m) {
          const Tri& c = made_[m].corners;
          if (m != self_made && (c[0] == u || c[1] == u || c[2] == u) && (c[0] == v || c[1] == v || c[2] == v)) {
            consider(made_[m].normal);
          }
        }
      }
      for_each_face_around(u, [&](FaceId g) {
        const Tri& c = mesh.faces[g];
        if (g == self || (after_edit && dropped(g)) || (c[0] != v && c[1] != v && c[2] != v)) return;
        consider(normals_[g]);
      });
      if (found != 1) continue;
      if (!(dot(n, other) < 0.0)) return false;
      any_across = true;
    }
    return any_across;
  }

  Vec3 after(uint32_t v) const {
    return slot_stamp_[v] == epoch_ ? sums_[v] + touched_[slot_[v]].change : sums_[v];
  }
  void change_sum(uint32_t v, const Vec3& change);

  std::vector<Vec3> sums_;
  std::vector<FaceId> dropped_;
  struct Made {
    FaceId face;
    Tri corners;
    Vec3 normal;
  };
  std::vector<Vec3> normals_;  // per face, kept current for the alive faces
  std::vector<Made> made_;
  std::vector<Touched> touched_;
  std::vector<uint32_t> slot_;        // per vertex: its entry in touched_, valid where the stamp is current
  std::vector<uint32_t> slot_stamp_;
  uint32_t epoch_ = 0;
};

// Appends the midpoint of (a, b) as a new vertex and replaces every alive face on the edge by two
// faces through it, keeping their winding.
void split_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& map);

// Moves a to the midpoint of (a, b) and hands b's faces to a. Refuses (false, mesh unchanged)
// unless the edge has two alive faces, the one-rings share exactly two vertices c and d, the
// faces (a, c, d) and (b, c, d) are not both alive (the collapse would leave two coincident
// faces, as when a tetrahedron is flattened), no surrounding face turns over or becomes
// degenerate, and `turns` finds no face turned over against its corners' sums. `turns` must have
// been built on this mesh with the same snapshot's faces and is kept current.
bool collapse_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& edges, const VertexFaceMap& vertices,
                   TurnGuard& turns);

// Drops removed faces and unreferenced vertices; survivors keep their relative order.
void compact_mesh(RemeshMesh& mesh);

// Moves the vertices toward `targets` (one per vertex) as far as no alive face turns over or
// becomes degenerate (move_without_folds).
void move_alive_without_folds(RemeshMesh& mesh, std::span<const Vec3> targets);

}  // namespace morvane
