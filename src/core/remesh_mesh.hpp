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

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "incidence.hpp"
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
    if (std::size_t{v} + 1 >= faces_.start.size()) return {};
    return faces_[v];
  }
  // The same lists, for per-vertex loops over the snapshot's vertices.
  const Incidence& incidence() const { return faces_; }

 private:
  friend VertexFaceMap vertex_face_map(const RemeshMesh& mesh);
  Incidence faces_;  // over the vertex ids at the time of the snapshot
};

class TurnGuard;  // remesh_turn_guard.hpp

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

// Appends the midpoint of (a, b) as a new vertex and replaces every alive face on the edge by two
// faces through it, keeping their winding.
void split_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& map);

// Moves a to the midpoint of (a, b) and hands b's faces to a. Refuses (false, mesh unchanged)
// unless the edge has two alive faces, the one-rings share exactly two vertices c and d, the
// faces (a, c, d) and (b, c, d) are not both alive (the collapse would leave two coincident
// faces, as when a tetrahedron is flattened), no surrounding face turns over or becomes
// degenerate, and `turns` finds that no face would be turned over as the cleanup judges it.
// `turns` must have been built on this mesh with the same snapshot's faces and is kept current.
bool collapse_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& edges, const VertexFaceMap& vertices,
                   TurnGuard& turns);

// Drops removed faces and unreferenced vertices; survivors keep their relative order.
void compact_mesh(RemeshMesh& mesh);

// Moves the vertices toward `targets` (one per vertex) as far as no alive face turns over or
// becomes degenerate (move_without_folds).
void move_alive_without_folds(RemeshMesh& mesh, std::span<const Vec3> targets);

}  // namespace morvane
