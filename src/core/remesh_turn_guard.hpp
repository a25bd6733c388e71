// The remesher's guard against folds: the turned-over tests, applied to every collapse and flip
// before it is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mesh.hpp"
#include "remesh_mesh.hpp"

namespace morvane {

// The turned-over tests of the final cleanup (a face against the summed normals of its corners'
// faces, which cleanup_bad_triangles removes) and of a finished proxy (a face against every face
// across its edges), kept current through one pass of collapses or flips: the sums and face
// normals of the alive faces, and a planned edit judged against them before it is made. An
// operation that would leave such a face is refused instead, so the cleanup opens no holes.
class TurnGuard {
 public:
  // `vertices` must list the mesh's alive faces as they are now.
  TurnGuard(const RemeshMesh& mesh, const VertexFaceMap& vertices);

  // Starts planning an edit: faces it drops (removes or rewrites) and faces it makes, each with its
  // normal (the rewritten face's normal with the positions the edit gives its corners) and the
  // index the made face will have.
  void begin_edit();
  void drop(FaceId f, const Tri& corners, const Vec3& normal);
  void make(FaceId f, const Tri& corners, const Vec3& normal);

  // The normal of alive face f as the mesh is now.
  const Vec3& normal(FaceId f) const { return normals_[f]; }
  bool dropped(FaceId f) const { return dropped_stamp_[f] == epoch_; }

  // True when the edit leaves no face turned over that was not before: no made face opposes its
  // corners' summed normals or the normals of all the faces across its edges, and no alive face
  // around a vertex the edit touches comes to oppose its corners' sums, nor a face across an edge
  // from a made face all of its neighbours. for_each_face_around(v, fn) calls fn(f) for every alive
  // face around vertex v as the mesh is before the edit.
  template <class ForEachFaceAround>
  bool keeps_faces_unturned(const RemeshMesh& mesh, ForEachFaceAround&& for_each_face_around) {
    for (const Made& made : made_) {
      const Tri& t = made.corners;
      if (dot(made.normal, (after(t[0]) + after(t[1])) + after(t[2])) < 0.0) return false;
    }
    for (const Touched& touched : touched_) {
      bool turns = false;
      for_each_face_around(touched.vertex, [&](FaceId f) {
        if (turns || face_stamp_[f] == epoch_ || dropped(f)) return;
        face_stamp_[f] = epoch_;  // tested once, though around several touched vertices
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
  struct Made {
    FaceId face;
    Tri corners;
    Vec3 normal;
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

  std::vector<Vec3> sums_;     // per vertex, kept current for the alive faces
  std::vector<Vec3> normals_;  // per face, kept current for the alive faces
  std::vector<Made> made_;
  std::vector<Touched> touched_;
  std::vector<uint32_t> slot_;        // per vertex: its entry in touched_, valid where the stamp is current
  std::vector<uint32_t> slot_stamp_;
  std::vector<uint32_t> face_stamp_;     // per face: the edit whose test has seen it
  std::vector<uint32_t> dropped_stamp_;  // per face: the edit that drops it
  uint32_t epoch_ = 0;  // the current edit
};

}  // namespace morvane
