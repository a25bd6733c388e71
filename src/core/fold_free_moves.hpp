// Vertex moves that never fold the surface: the final fits and the remesher's relaxation and
// projection propose a target per vertex, and every move that would turn a face over, flatten it
// or shrink it too far is shortened or dropped.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "grid_array.hpp"
#include "incidence.hpp"
#include "mesh.hpp"

namespace morvane {

struct MoveGuard {
  // A face may not shrink below this fraction of its area before the moves; 0 allows any shrinking
  // short of a degenerate face.
  double min_area_ratio = 0.0;
  // No two vertices may end at one point.
  bool distinct_positions = false;
};

// Moves every vertex to targets[v], or a half, a quarter or none of the way there, so that no face
// fails one of these tests after the moves that it passed before them:
//   - it keeps its orientation: its normal does not turn 90 degrees or more from the old one;
//   - it is not degenerate (is_degenerate_triangle) and keeps at least min_area_ratio of its area;
//   - its normal does not oppose the summed normals of its three corners, nor the normals of all the
//     faces across its edges (the two tests of the remesher's cleanup).
// A face that was turned over before the moves may turn its normal back. A failing face shortens
// the moves of its corners, or, when they stay, of the vertices around them. The moves are decided
// in rounds over the whole mesh, in an order that depends on the mesh alone, so the result is the
// same for any worker count; a vertex whose move is not shortened ends exactly at its target. Faces with a repeated corner take no part. Returns the number of vertices
// whose move was shortened or dropped.
uint64_t move_without_folds(std::span<Vec3> positions, std::span<const Tri> faces, std::span<const Vec3> targets,
                            const MoveGuard& guard);

// What the moves test faces against that depends on the faces alone: built once, it serves every
// round of moves over one face list, as the iterations of a smoothing filter are.
struct FoldFreeTopology {
  static constexpr uint32_t kNoFace = kNoTriangle;

  // Throws InternalError when a face names a vertex not below vertex_count.
  FoldFreeTopology(std::size_t vertex_count, std::span<const Tri> faces);

  std::size_t vertex_count;
  std::span<const Tri> faces;  // borrowed
  Incidence around;            // the faces around each vertex, ascending
  GridArray<uint32_t> across;  // per side 3f + k, the one other face on its edge, or kNoFace
};

// The working lists of one round of moves, kept between rounds so that their memory is reused.
struct MoveBuffers {
  std::vector<uint8_t> level, movable, failed_before;
  GridArray<Vec3> current, start_normals, normals, sums;
  std::vector<uint32_t> vertex_stamp, face_stamp;
  uint32_t epoch = 0;  // the last stamp handed out
};

// move_without_folds, repeatedly over one face list (whose storage must outlive this).
class FoldFreeMoves {
 public:
  FoldFreeMoves(std::size_t vertex_count, std::span<const Tri> faces);
  uint64_t move(std::span<Vec3> positions, std::span<const Vec3> targets, const MoveGuard& guard);

 private:
  FoldFreeTopology topology_;
  MoveBuffers buffers_;
};

}  // namespace morvane
