// Fold-free vertex moves, decided in Jacobi rounds: every round tests the faces near the moves
// changed by the previous round against the positions of that round, and shortens the moves that
// a failing face blames, all at once. Normals and corner sums are recomputed from positions, never
// updated by differences, so every value depends on the current positions alone.
#include "fold_free_moves.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include <fmt/format.h>

#include "grid_array.hpp"
#include "incidence.hpp"
#include "core_errors.hpp"
#include "parallel.hpp"
#include "run_context.hpp"

namespace morvane {
namespace {

// The fraction of its way a vertex moves at each level; a blamed vertex goes one level down.
constexpr std::array<double, 4> kStepOfLevel = {1.0, 0.5, 0.25, 0.0};
constexpr uint8_t kStays = 3;
constexpr uint32_t kNoFace = FoldFreeTopology::kNoFace;
// Rounds after which a blamed vertex drops its move at once, so every round fixes a vertex for good.
constexpr uint32_t kShorteningRounds = 12;

// The tests of a face, as bits.
constexpr uint8_t kTurned = 1, kDegenerate = 2, kSqueezed = 4, kAgainstCorners = 8, kAgainstNeighbours = 16;
constexpr uint8_t kAllTests = 31;
constexpr uint8_t kNotYetKnown = 0xFF;

// body(i) for i in [0, n): in parallel over whole meshes, on the calling thread for the short
// lists of the later rounds, where starting a parallel loop would cost more than the work.
template <class F>
void for_each_index(std::size_t n, F&& body) {
  constexpr std::size_t kSerialBelow = 4096;
  if (n < kSerialBelow) {
    for (std::size_t i = 0; i < n; ++i) body(i);
  } else {
    parallel_for_each_index(0, n, body);
  }
}

// Throws InternalError naming the first corner, in face order, that is not below n.
void require_vertices_exist(std::span<const Tri> faces, std::size_t n) {
  const std::size_t f = parallel_find_first(
      0, faces.size(), [&](std::size_t g) { return !(faces[g][0] < n && faces[g][1] < n && faces[g][2] < n); });
  if (f == faces.size()) return;
  for (uint32_t v : faces[f]) {
    if (v >= n) throw InternalError(fmt::format("fold-free moves: a face names vertex {} of {}", v, n));
  }
}

bool has_repeated_corner(const Tri& t) { return t[0] == t[1] || t[1] == t[2] || t[2] == t[0]; }

class MoveRounds {
 public:
  MoveRounds(const FoldFreeTopology& topology, std::span<const Vec3> start, std::span<const Vec3> targets,
             const MoveGuard& guard, MoveBuffers& buffers)
      : start_(start),
        faces_(topology.faces),
        targets_(targets),
        guard_(guard),
        around_(topology.around),
        across_(topology.across),
        level_(buffers.level),
        movable_(buffers.movable),
        failed_before_(buffers.failed_before),
        current_(buffers.current),
        start_normals_(buffers.start_normals),
        normals_(buffers.normals),
        sums_(buffers.sums),
        vertex_stamp_(buffers.vertex_stamp),
        face_stamp_(buffers.face_stamp),
        epoch_(buffers.epoch) {
    const std::size_t n = start.size();
    if (targets.size() != n || topology.vertex_count != n) {
      throw InternalError(fmt::format("fold-free moves: {} targets for {} vertices of a mesh of {}", targets.size(), n,
                                      topology.vertex_count));
    }
    // Stamps keep counting from the last call's, so they need clearing only on first use.
    if (vertex_stamp_.size() != n) vertex_stamp_.assign(n, 0);
    if (face_stamp_.size() != faces_.size()) face_stamp_.assign(faces_.size(), 0);
    // Every entry of these is written below, before it is read.
    level_.resize(n);
    movable_.resize(n);
    current_.resize(n);
    sums_.resize(n);
    failed_before_.resize(faces_.size());
    start_normals_.resize(faces_.size());
    normals_.resize(faces_.size());
    for_each_index(n, [&](std::size_t v) {
      level_[v] = 0;
      movable_[v] = targets[v] != start[v];
      current_[v] = targets[v];
    });
    for_each_index(faces_.size(), [&](std::size_t f) {
      failed_before_[f] = kNotYetKnown;
      start_normals_[f] = face_normal(start, faces_[f]);
      normals_[f] = face_normal(current_, faces_[f]);
    });
  }

  // Runs the rounds; returns the number of vertices that do not reach their targets.
  uint64_t run() {
    for_each_index(start_.size(), [&](std::size_t v) { sums_[v] = sum_around(v, normals_); });
    std::vector<uint32_t> failing =
        failing_among(faces_.size(), [](std::size_t f) { return static_cast<uint32_t>(f); });

    for (uint32_t round = 1;; ++round) {
      throw_if_stopped();
      std::vector<uint32_t> blamed = failing.empty() ? coincident_movers() : blamed_by(failing);
      if (blamed.empty()) break;
      for (uint32_t v : blamed) {
        level_[v] = round > kShorteningRounds ? kStays : static_cast<uint8_t>(level_[v] + 1);
        current_[v] = position_at_level(v);
      }
      // Faces whose normal changed, vertices whose sum changed, faces whose test changed.
      const std::vector<uint32_t> reshaped = faces_around(blamed);
      for_each_index(reshaped.size(), [&](std::size_t i) { normals_[reshaped[i]] = normal(reshaped[i]); });
      const std::vector<uint32_t> resummed = corners_of(reshaped);
      for_each_index(resummed.size(), [&](std::size_t i) { sums_[resummed[i]] = sum_around(resummed[i], normals_); });
      const std::vector<uint32_t> retested = faces_around(resummed);
      failing = failing_among(retested.size(), [&](std::size_t i) { return retested[i]; });
    }

    uint64_t held_back = 0;
    for (std::size_t v = 0; v < start_.size(); ++v) held_back += movable_[v] && level_[v] > 0;
    return held_back;
  }

  std::span<const Vec3> positions() const { return current_; }

 private:
  Vec3 position_at_level(uint32_t v) const {
    if (level_[v] == 0) return targets_[v];
    if (level_[v] == kStays) return start_[v];
    return start_[v] + (targets_[v] - start_[v]) * kStepOfLevel[level_[v]];
  }

  Vec3 normal(std::size_t f) const { return face_normal(current_, faces_[f]); }

  // Summed normals (one per face) of the faces around v, in face order, as the cleanup sums them.
  Vec3 sum_around(std::size_t v, std::span<const Vec3> normals) const {
    Vec3 sum{0, 0, 0};
    for (uint32_t f : around_[v]) sum += normals[f];
    return sum;
  }

  // The tests that face f fails with the given positions, face normals and corner sums.
  template <class Position, class Normal, class Sum>
  uint8_t failures_with(std::size_t f, Position&& position, Normal&& normal, Sum&& sum) const {
    const Tri& t = faces_[f];
    const Vec3 n = normal(f);
    const Vec3& n0 = start_normals_[f];
    uint8_t failed = 0;
    if (!(dot(n, n0) > 0.0)) failed |= kTurned;
    if (is_degenerate_triangle(position(t[0]), position(t[1]), position(t[2]), n)) failed |= kDegenerate;
    const double ratio = guard_.min_area_ratio;
    if (length_squared(n) < (ratio * ratio) * length_squared(n0)) failed |= kSqueezed;
    if (dot(n, (sum(t[0]) + sum(t[1])) + sum(t[2])) < 0.0) failed |= kAgainstCorners;
    bool any_across = false, all_opposed = true;
    for (int k = 0; k < 3 && all_opposed; ++k) {
      const uint32_t g = across_[3 * f + k];
      if (g == kNoFace) continue;
      any_across = true;
      all_opposed = dot(n, normal(g)) < 0.0;
    }
    if (any_across && all_opposed) failed |= kAgainstNeighbours;
    return failed;
  }

  uint8_t failures(std::size_t f) const {
    return failures_with(
        f, [&](uint32_t v) -> const Vec3& { return current_[v]; },
        [&](std::size_t g) -> const Vec3& { return normals_[g]; }, [&](uint32_t v) -> const Vec3& { return sums_[v]; });
  }

  // The tests f fails before any move, which are not held against the moves; found once.
  uint8_t failures_before(std::size_t f) {
    if (failed_before_[f] == kNotYetKnown) {
      failed_before_[f] = has_repeated_corner(faces_[f])
                              ? kAllTests
                              : failures_with(
                                    f, [&](uint32_t v) -> const Vec3& { return start_[v]; },
                                    [&](std::size_t g) -> const Vec3& { return start_normals_[g]; },
                                    [&](uint32_t v) { return sum_around(v, start_normals_); });
    }
    return failed_before_[f];
  }

  // The tests that are not held against the moves of f's corners: those it failed before, and, for
  // a face that was turned over before, the turn of its normal, which is what unturns it.
  uint8_t excused(std::size_t f) {
    const uint8_t before = failures_before(f);
    return (before & (kAgainstCorners | kAgainstNeighbours)) != 0 ? before | kTurned : before;
  }

  // The faces face_at(i), i in [0, count), that fail a test not excused, ascending in i.
  template <class FaceAt>
  std::vector<uint32_t> failing_among(std::size_t count, FaceAt&& face_at) {
    std::vector<uint8_t> failed(count);
    for_each_index(count, [&](std::size_t i) {
      const uint32_t f = face_at(i);
      const uint8_t now = failures(f);
      failed[i] = now != 0 && (now & ~excused(f)) != 0;
    });
    std::vector<uint32_t> out;
    for (std::size_t i = 0; i < count; ++i) {
      if (failed[i]) out.push_back(face_at(i));
    }
    return out;
  }

  bool can_shorten(uint32_t v) const { return movable_[v] && level_[v] < kStays; }

  // The corners of each failing face whose moves can still be shortened; where none can, the
  // vertices around its corners, whose moves turned the corners' summed normals.
  std::vector<uint32_t> blamed_by(const std::vector<uint32_t>& failing) {
    const uint32_t stamp = next_stamp();
    std::vector<uint32_t> out;
    auto blame = [&](uint32_t v) {
      if (can_shorten(v) && vertex_stamp_[v] != stamp) {
        vertex_stamp_[v] = stamp;
        out.push_back(v);
      }
    };
    for (uint32_t f : failing) {
      const Tri& t = faces_[f];
      if (can_shorten(t[0]) || can_shorten(t[1]) || can_shorten(t[2])) {
        for (uint32_t v : t) blame(v);
        continue;
      }
      for (uint32_t corner : t) {
        for (uint32_t g : around_[corner]) {
          for (uint32_t v : faces_[g]) blame(v);
        }
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Vertices that would end where another vertex is: in every group of equal positions, all the
  // movers but one, or all of them when a vertex of the group stays where it started.
  std::vector<uint32_t> coincident_movers() const {
    std::vector<uint32_t> out;
    if (!guard_.distinct_positions) return out;
    std::vector<uint32_t> order(start_.size());
    parallel_for_each_index(0, order.size(), [&](std::size_t v) { order[v] = static_cast<uint32_t>(v); });
    parallel_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return current_[a] != current_[b] ? current_[a] < current_[b] : a < b;
    });
    for (std::size_t first = 0; first < order.size();) {
      std::size_t last = first + 1;
      while (last < order.size() && current_[order[last]] == current_[order[first]]) ++last;
      if (last - first > 1) {
        const bool one_stays = std::any_of(order.begin() + static_cast<std::ptrdiff_t>(first),
                                           order.begin() + static_cast<std::ptrdiff_t>(last),
                                           [&](uint32_t v) { return !can_shorten(v); });
        for (std::size_t i = one_stays ? first : first + 1; i < last; ++i) {
          if (can_shorten(order[i])) out.push_back(order[i]);
        }
      }
      first = last;
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // The faces around the given vertices, each once, ascending.
  std::vector<uint32_t> faces_around(const std::vector<uint32_t>& vertices) {
    return distinct_sorted(vertices, [&](uint32_t v) { return around_[v]; }, face_stamp_);
  }

  // The corners of the given faces, each once, ascending.
  std::vector<uint32_t> corners_of(const std::vector<uint32_t>& faces) {
    return distinct_sorted(faces, [&](uint32_t f) -> const Tri& { return faces_[f]; }, vertex_stamp_);
  }

  // The items that items_of(k) lists for the given keys, each once, ascending; `stamps` marks
  // the items met.
  template <class ItemsOf>
  std::vector<uint32_t> distinct_sorted(const std::vector<uint32_t>& keys, ItemsOf&& items_of,
                                        std::vector<uint32_t>& stamps) {
    const uint32_t stamp = next_stamp();
    std::vector<uint32_t> out;
    for (uint32_t k : keys) {
      for (uint32_t item : items_of(k)) {
        if (stamps[item] != stamp) {
          stamps[item] = stamp;
          out.push_back(item);
        }
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // A stamp that no vertex or face holds yet.
  uint32_t next_stamp() {
    if (++epoch_ == 0) {  // wrapped: old stamps could look current
      std::fill(vertex_stamp_.begin(), vertex_stamp_.end(), 0);
      std::fill(face_stamp_.begin(), face_stamp_.end(), 0);
      epoch_ = 1;
    }
    return epoch_;
  }

  std::span<const Vec3> start_;
  std::span<const Tri> faces_;
  std::span<const Vec3> targets_;
  MoveGuard guard_;
  const Incidence& around_;                // the faces around each vertex, ascending
  std::span<const uint32_t> across_;       // per face side, the one face across it, or kNoFace
  std::vector<uint8_t>& level_;
  std::vector<uint8_t>& movable_;
  std::vector<uint8_t>& failed_before_;    // per face: the tests it fails before any move, or kNotYetKnown
  GridArray<Vec3>& current_;
  GridArray<Vec3>& start_normals_;
  GridArray<Vec3>& normals_;
  GridArray<Vec3>& sums_;
  std::vector<uint32_t>& vertex_stamp_;
  std::vector<uint32_t>& face_stamp_;
  uint32_t& epoch_;
};

}  // namespace

FoldFreeTopology::FoldFreeTopology(std::size_t vertex_count_in, std::span<const Tri> faces_in)
    : vertex_count(vertex_count_in), faces(faces_in) {
  if (faces.size() >= kNoFace) {
    throw InternalError(fmt::format("fold-free moves: {} faces", faces.size()));
  }
  require_vertices_exist(faces, vertex_count);
  around = build_incidence(vertex_count, faces);
  across.resize(3 * faces.size());  // every entry is written below
  parallel_for_each_index(0, faces.size(), [&](std::size_t f) {
    const Tri& t = faces[f];
    for (int k = 0; k < 3; ++k) across[3 * f + k] = other_triangle_on_edge(around, faces, f, t[k], t[(k + 1) % 3]);
  });
}

FoldFreeMoves::FoldFreeMoves(std::size_t vertex_count, std::span<const Tri> faces) : topology_(vertex_count, faces) {}

uint64_t FoldFreeMoves::move(std::span<Vec3> positions, std::span<const Vec3> targets, const MoveGuard& guard) {
  // The rounds read the positions as they start and write only their own list.
  MoveRounds rounds(topology_, positions, targets, guard, buffers_);
  const uint64_t held_back = rounds.run();
  const std::span<const Vec3> moved = rounds.positions();
  parallel_for_chunks(0, positions.size(), 1 << 14, [&](std::size_t lo, std::size_t hi) {
    std::copy(moved.begin() + static_cast<std::ptrdiff_t>(lo), moved.begin() + static_cast<std::ptrdiff_t>(hi),
              positions.begin() + static_cast<std::ptrdiff_t>(lo));
  });
  return held_back;
}

uint64_t move_without_folds(std::span<Vec3> positions, std::span<const Tri> faces, std::span<const Vec3> targets,
                            const MoveGuard& guard) {
  return FoldFreeMoves(positions.size(), faces).move(positions, targets, guard);
}

}  // namespace morvane
