#include "remesh_turn_guard.hpp"

#include "mesh_measures.hpp"
#include "parallel.hpp"

namespace morvane {

TurnGuard::TurnGuard(const RemeshMesh& mesh, const VertexFaceMap& vertices)
    : sums_(mesh.positions.size()),
      normals_(mesh.faces.size()),
      slot_(mesh.positions.size(), 0),
      slot_stamp_(mesh.positions.size(), 0),
      face_stamp_(mesh.faces.size(), 0),
      dropped_stamp_(mesh.faces.size(), 0) {
  parallel_for_each_index(0, mesh.faces.size(), [&](std::size_t f) {
    normals_[f] = mesh.alive(f) ? face_normal(mesh.positions, mesh.faces[f]) : Vec3{0, 0, 0};
  });
  vertex_normal_sums(mesh.positions, mesh.faces, vertices.incidence(), sums_);
}

void TurnGuard::begin_edit() {
  made_.clear();
  touched_.clear();
  if (++epoch_ == 0) {  // wrapped: old stamps could look current
    std::fill(slot_stamp_.begin(), slot_stamp_.end(), 0);
    std::fill(face_stamp_.begin(), face_stamp_.end(), 0);
    std::fill(dropped_stamp_.begin(), dropped_stamp_.end(), 0);
    epoch_ = 1;
  }
}

void TurnGuard::change_sum(uint32_t v, const Vec3& change) {
  if (slot_stamp_[v] != epoch_) {
    slot_stamp_[v] = epoch_;
    slot_[v] = static_cast<uint32_t>(touched_.size());
    touched_.push_back({v, Vec3{0, 0, 0}});
  }
  touched_[slot_[v]].change += change;
}

void TurnGuard::drop(FaceId f, const Tri& corners, const Vec3& normal) {
  dropped_stamp_[f] = epoch_;
  const Vec3 removed = normal * -1.0;
  for (uint32_t v : corners) change_sum(v, removed);
}

void TurnGuard::make(FaceId f, const Tri& corners, const Vec3& normal) {
  made_.push_back({f, corners, normal});
  for (uint32_t v : corners) change_sum(v, normal);
}

void TurnGuard::commit_edit() {
  for (const Touched& touched : touched_) sums_[touched.vertex] += touched.change;
  for (const Made& made : made_) {
    if (made.face >= normals_.size()) {
      normals_.resize(std::size_t{made.face} + 1);
      face_stamp_.resize(std::size_t{made.face} + 1, 0);
      dropped_stamp_.resize(std::size_t{made.face} + 1, 0);
    }
    normals_[made.face] = made.normal;
  }
  begin_edit();
}

}  // namespace morvane
