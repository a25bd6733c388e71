#include "remesh_mesh.hpp"

#include <algorithm>
#include <atomic>
#include <string>

#include "fold_free_moves.hpp"
#include "mesh_error.hpp"
#include "parallel.hpp"
#include "remesh_turn_guard.hpp"

namespace morvane {
namespace {

// Scratch rings of collapse_edge, one set per thread so that concurrent runs share nothing.
thread_local std::vector<uint32_t> ring_scratch_a;
thread_local std::vector<uint32_t> ring_scratch_b;
thread_local std::vector<uint32_t> shared_scratch;

void require_vertex(const RemeshMesh& mesh, uint32_t v) {
  if (v >= mesh.positions.size()) {
    throw InternalError("remesh: vertex " + std::to_string(v) + " out of range (vertex count: " +
                        std::to_string(mesh.positions.size()) + ")");
  }
}

// Keeps the first occurrence of every id, in order. Rings are short; long ones (a pole or a
// non-manifold hub) go through a sort so they stay O(n log n).
void unique_keep_first(std::vector<uint32_t>& ids) {
  constexpr std::size_t kLinearLimit = 48;
  if (ids.size() <= kLinearLimit) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      const uint32_t v = ids[i];
      if (std::find(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(kept), v) ==
          ids.begin() + static_cast<std::ptrdiff_t>(kept)) {
        ids[kept++] = v;
      }
    }
    ids.resize(kept);
    return;
  }
  std::vector<std::pair<uint32_t, uint32_t>> by_id(ids.size());  // (id, first position)
  for (std::size_t i = 0; i < ids.size(); ++i) by_id[i] = {ids[i], static_cast<uint32_t>(i)};
  std::sort(by_id.begin(), by_id.end());
  by_id.erase(std::unique(by_id.begin(), by_id.end(), [](auto& x, auto& y) { return x.first == y.first; }),
              by_id.end());
  std::sort(by_id.begin(), by_id.end(), [](auto& x, auto& y) { return x.second < y.second; });
  ids.resize(by_id.size());
  for (std::size_t i = 0; i < by_id.size(); ++i) ids[i] = by_id[i].first;
}

// Buckets hold a handful of ids: insertion sort beats the general sort's set-up there.
void sort_small(std::vector<uint32_t>::iterator first, std::vector<uint32_t>::iterator last) {
  if (last - first > 16) {
    std::sort(first, last);
    return;
  }
  for (auto i = first; i != last; ++i) {
    const uint32_t v = *i;
    auto j = i;
    for (; j != first && *(j - 1) > v; --j) *j = *(j - 1);
    *j = v;
  }
}

// Throws InternalError naming the first alive face, in face order, with a corner that is no vertex.
void require_alive_corners(const RemeshMesh& mesh) {
  const std::size_t n = mesh.positions.size();
  const std::size_t f = parallel_find_first(0, mesh.faces.size(), [&](std::size_t g) {
    const Tri& t = mesh.faces[g];
    return mesh.alive(g) && !(t[0] < n && t[1] < n && t[2] < n);
  });
  if (f < mesh.faces.size()) throw InternalError("remesh: face " + std::to_string(f) + " names a missing vertex");
}

// Faces per task of the passes that build the maps.
constexpr std::size_t kFacesPerTask = std::size_t{1} << 13;
constexpr uint32_t kNoCorner = 0xFFFFFFFF;

// The index of `value` in the sorted [first, last), or EdgeFaceMap::kAbsent.
uint32_t find_upper(const uint32_t* first, const uint32_t* last, uint32_t value) {
  const uint32_t* it = last - first <= 16 ? std::find(first, last, value) : std::lower_bound(first, last, value);
  return it != last && *it == value ? static_cast<uint32_t>(it - first) : EdgeFaceMap::kAbsent;
}

// Starts of consecutive lists of the given lengths, and their total at the end.
std::vector<uint32_t> exclusive_starts(std::span<const uint32_t> lengths) {
  std::vector<uint32_t> start(lengths.size() + 1);
  start[0] = 0;
  for (std::size_t i = 0; i < lengths.size(); ++i) start[i + 1] = start[i] + lengths[i];
  return start;
}

// List starts for `lists` lists from counting(count), which calls count(list) once per entry, from
// any worker.
template <class Counting>
std::vector<uint32_t> counts_to_starts(std::size_t lists, Counting&& counting) {
  std::vector<uint32_t> lengths(lists, 0);
  counting([&](uint32_t list) { std::atomic_ref<uint32_t>(lengths[list]).fetch_add(1, std::memory_order_relaxed); });
  return exclusive_starts(lengths);
}

// filling(place) writes each entry at place(list), a free slot of that list; the order within a
// list depends on the schedule, so callers sort the lists afterwards.
template <class Filling>
void fill_by_starts(std::span<const uint32_t> start, Filling&& filling) {
  std::vector<uint32_t> next(start.begin(), start.end() - 1);
  filling([&](uint32_t list) { return std::atomic_ref<uint32_t>(next[list]).fetch_add(1, std::memory_order_relaxed); });
}

bool contains(std::span<const FaceId> list, FaceId f) { return std::find(list.begin(), list.end(), f) != list.end(); }

bool face_has(const Tri& t, uint32_t v) { return t[0] == v || t[1] == v || t[2] == v; }

// True when an alive face of v's list has exactly the corners {v, c, d} (all three distinct).
bool has_alive_face(const RemeshMesh& mesh, const VertexFaceMap& vertices, uint32_t v, uint32_t c, uint32_t d) {
  for (FaceId f : vertices.faces_of(v)) {
    const Tri& t = mesh.faces[f];
    if (mesh.alive(f) && face_has(t, v) && face_has(t, c) && face_has(t, d)) return true;
  }
  return false;
}

}  // namespace

uint64_t RemeshMesh::alive_count() const {
  return static_cast<uint64_t>(std::count(removed.begin(), removed.end(), uint8_t{0}));
}

RemeshMesh make_remesh_mesh(std::span<const Vec3> positions, std::span<const Tri> faces) {
  if (faces.size() > kMaxWorkingFaces || positions.size() > kMaxWorkingVertices) {
    throw InternalError("remesh: mesh too large (" + std::to_string(positions.size()) + " vertices, " +
                        std::to_string(faces.size()) + " faces)");
  }
  require_valid_indices(positions.size(), faces);
  RemeshMesh mesh;
  mesh.positions.assign(positions.begin(), positions.end());
  mesh.faces.assign(faces.begin(), faces.end());
  mesh.removed.assign(faces.size(), 0);
  return mesh;
}

uint32_t EdgeFaceMap::find(uint32_t u, uint32_t v) const {
  const EdgeKey key = edge_key(u, v);
  if (std::size_t{key.a} + 1 >= bucket_.size()) return kAbsent;
  const uint32_t slot = find_upper(upper_.data() + bucket_[key.a], upper_.data() + bucket_[key.a + 1], key.b);
  return slot == kAbsent ? kAbsent : upper_edge_[bucket_[key.a] + slot];
}

// Built on the pool by count, scan and fill; every list is sorted afterwards and the edges are
// numbered from the first corner of each, so the map is the one a walk over the faces would build.
EdgeFaceMap edge_face_map(const RemeshMesh& mesh) {
  if (mesh.faces.size() > kMaxWorkingFaces) throw InternalError("remesh: working mesh exceeds the face limit");
  require_alive_corners(mesh);
  const std::size_t n = mesh.positions.size();
  const std::size_t corners = 3 * mesh.faces.size();  // corner edge c = 3f + k, from corner k to the next
  auto key_of = [&](std::size_t c) {
    const Tri& t = mesh.faces[c / 3];
    return edge_key(t[c % 3], t[(c + 1) % 3]);
  };
  auto for_each_alive_corner = [&](auto&& body) {
    parallel_for_chunks(0, mesh.faces.size(), kFacesPerTask, [&](std::size_t lo, std::size_t hi) {
      for (std::size_t f = lo; f < hi; ++f) {
        if (!mesh.alive(f)) continue;
        for (std::size_t c = 3 * f; c < 3 * f + 3; ++c) body(c);
      }
    });
  };
  EdgeFaceMap map;

  // 1. The larger ends of the corner edges under their smaller end, sorted and each kept once.
  std::vector<uint32_t> start = counts_to_starts(n, [&](auto&& count) {
    for_each_alive_corner([&](std::size_t c) { count(key_of(c).a); });
  });
  std::vector<uint32_t> upper(start[n]);
  fill_by_starts(start, [&](auto&& place) {
    for_each_alive_corner([&](std::size_t c) {
      const EdgeKey key = key_of(c);
      upper[place(key.a)] = key.b;
    });
  });
  std::vector<uint32_t> kept(n);
  parallel_for_each_index(0, n, [&](std::size_t v) {
    const auto first = upper.begin() + start[v], last = upper.begin() + start[v + 1];
    sort_small(first, last);
    kept[v] = static_cast<uint32_t>(std::unique(first, last) - first);
  });
  map.bucket_ = exclusive_starts(kept);
  map.upper_.resize(map.bucket_[n]);
  parallel_for_each_index(0, n, [&](std::size_t v) {
    std::copy_n(upper.begin() + start[v], kept[v], map.upper_.begin() + map.bucket_[v]);
  });
  upper = {};
  start = {};

  // 2. Each edge numbered by its first corner: a corner is first when no earlier corner has its
  //    key, and the number is the count of first corners before it.
  std::vector<uint32_t> slot_of(corners);
  std::vector<uint32_t> first_corner(map.upper_.size(), kNoCorner);
  for_each_alive_corner([&](std::size_t c) {
    const EdgeKey key = key_of(c);
    const uint32_t slot = map.bucket_[key.a] + find_upper(map.upper_.data() + map.bucket_[key.a],
                                                          map.upper_.data() + map.bucket_[key.a + 1], key.b);
    slot_of[c] = slot;
    std::atomic_ref<uint32_t> first(first_corner[slot]);
    for (uint32_t seen = first.load(std::memory_order_relaxed);
         c < seen && !first.compare_exchange_weak(seen, static_cast<uint32_t>(c), std::memory_order_relaxed);) {
    }
  });
  const std::size_t tasks = (mesh.faces.size() + kFacesPerTask - 1) / kFacesPerTask;
  std::vector<uint32_t> firsts_before(tasks + 1, 0);
  parallel_for_each_index(0, tasks, [&](std::size_t task) {
    uint32_t count = 0;
    for (std::size_t f = task * kFacesPerTask; f < std::min(mesh.faces.size(), (task + 1) * kFacesPerTask); ++f) {
      if (!mesh.alive(f)) continue;
      for (std::size_t c = 3 * f; c < 3 * f + 3; ++c) count += first_corner[slot_of[c]] == c;
    }
    firsts_before[task + 1] = count;
  }, 1);
  for (std::size_t task = 0; task < tasks; ++task) firsts_before[task + 1] += firsts_before[task];
  map.upper_edge_.resize(map.upper_.size());
  map.keys_.resize(firsts_before[tasks]);
  parallel_for_each_index(0, tasks, [&](std::size_t task) {
    uint32_t e = firsts_before[task];
    for (std::size_t f = task * kFacesPerTask; f < std::min(mesh.faces.size(), (task + 1) * kFacesPerTask); ++f) {
      if (!mesh.alive(f)) continue;
      for (std::size_t c = 3 * f; c < 3 * f + 3; ++c) {
        if (first_corner[slot_of[c]] != c) continue;
        map.upper_edge_[slot_of[c]] = e;
        map.keys_[e++] = key_of(c);
      }
    }
  }, 1);
  first_corner = {};

  // 3. The faces of each edge, sorted.
  map.offsets_ = counts_to_starts(map.keys_.size(), [&](auto&& count) {
    for_each_alive_corner([&](std::size_t c) { count(map.upper_edge_[slot_of[c]]); });
  });
  map.faces_.resize(map.offsets_.back());
  fill_by_starts(map.offsets_, [&](auto&& place) {
    for_each_alive_corner([&](std::size_t c) { map.faces_[place(map.upper_edge_[slot_of[c]])] = c / 3; });
  });
  parallel_for_each_index(0, map.keys_.size(), [&](std::size_t e) {
    sort_small(map.faces_.begin() + map.offsets_[e], map.faces_.begin() + map.offsets_[e + 1]);
  });
  return map;
}

VertexFaceMap vertex_face_map(const RemeshMesh& mesh) {
  if (mesh.faces.size() > kMaxWorkingFaces) throw InternalError("remesh: working mesh exceeds the face limit");
  require_alive_corners(mesh);
  VertexFaceMap map;
  map.faces_ = build_incidence(mesh.positions.size(), mesh.faces, mesh.removed);
  return map;
}

void alive_edge_faces(const RemeshMesh& mesh, std::span<const FaceId> listed, std::vector<FaceId>& out) {
  out.clear();
  for (FaceId f : listed) {
    if (mesh.alive(f)) out.push_back(f);
  }
}

void vertex_neighbors(const RemeshMesh& mesh, uint32_t v, const VertexFaceMap& map, std::vector<uint32_t>& ring) {
  ring.clear();
  for (FaceId f : map.faces_of(v)) {
    if (!mesh.alive(f)) continue;
    for (uint32_t c : mesh.faces[f]) {
      if (c != v) ring.push_back(c);
    }
  }
  unique_keep_first(ring);
}

std::vector<uint32_t> vertex_neighbors(const RemeshMesh& mesh, uint32_t v, const VertexFaceMap& map) {
  std::vector<uint32_t> ring;
  vertex_neighbors(mesh, v, map, ring);
  return ring;
}

namespace {

// The members of ring_a that are also in ring_b, in ring_a's order.
void shared_neighbors(std::span<const uint32_t> ring_a, std::span<const uint32_t> ring_b, std::vector<uint32_t>& out) {
  out.clear();
  constexpr std::size_t kLinearWork = 4096;
  if (ring_a.size() * ring_b.size() <= kLinearWork) {
    for (uint32_t v : ring_a) {
      if (std::find(ring_b.begin(), ring_b.end(), v) != ring_b.end()) out.push_back(v);
    }
    return;
  }
  std::vector<uint32_t> sorted_b(ring_b.begin(), ring_b.end());
  std::sort(sorted_b.begin(), sorted_b.end());
  for (uint32_t v : ring_a) {
    if (std::binary_search(sorted_b.begin(), sorted_b.end(), v)) out.push_back(v);
  }
}

}  // namespace

void split_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& map) {
  require_vertex(mesh, a);
  require_vertex(mesh, b);
  if (mesh.positions.size() >= kMaxWorkingVertices) {
    throw InternalError("remesh: working mesh exceeds the vertex limit");
  }
  const uint32_t m = static_cast<uint32_t>(mesh.positions.size());
  mesh.positions.push_back((mesh.positions[a] + mesh.positions[b]) * 0.5);
  for (FaceId f : map.faces_of(a, b)) {
    if (!mesh.alive(f)) continue;
    const Tri t = mesh.faces[f];
    const uint32_t c = (t[0] != a && t[0] != b) ? t[0] : (t[1] != a && t[1] != b) ? t[1] : t[2];
    mesh.removed[f] = 1;
    const bool a_to_b = (t[0] == a && t[1] == b) || (t[1] == a && t[2] == b) || (t[2] == a && t[0] == b);
    if (a_to_b) {
      mesh.add_face({a, m, c});
      mesh.add_face({m, b, c});
    } else {
      mesh.add_face({b, m, c});
      mesh.add_face({m, a, c});
    }
  }
}

bool collapse_edge(RemeshMesh& mesh, uint32_t a, uint32_t b, const EdgeFaceMap& edges, const VertexFaceMap& vertices,
                   TurnGuard& turns) {
  require_vertex(mesh, a);
  require_vertex(mesh, b);
  // 1. The edge must have at least two alive faces: boundary edges never collapse.
  const std::span<const FaceId> edge_faces = edges.faces_of(a, b);
  const auto alive_on_edge =
      std::count_if(edge_faces.begin(), edge_faces.end(), [&](FaceId f) { return mesh.alive(f); });
  if (alive_on_edge < 2) return false;

  // 2. Link condition: exactly two shared neighbours c and d, and the edge (c, d) not in both
  //    links. Were (a, c, d) and (b, c, d) both alive, the collapse would fold them onto each other.
  std::vector<uint32_t>& ring_a = ring_scratch_a;
  std::vector<uint32_t>& ring_b = ring_scratch_b;
  std::vector<uint32_t>& shared = shared_scratch;
  vertex_neighbors(mesh, a, vertices, ring_a);
  vertex_neighbors(mesh, b, vertices, ring_b);
  shared_neighbors(ring_a, ring_b, shared);
  if (shared.size() != 2) return false;
  const uint32_t c = shared[0], d = shared[1];
  if (has_alive_face(mesh, vertices, a, c, d) && has_alive_face(mesh, vertices, b, c, d)) return false;

  // 3. No surrounding face may turn over or become degenerate when a and b meet at the midpoint,
  //    and no face may be left turned over as the cleanup judges it. Every alive face around a, b
  //    and their rings is in the snapshot, as no earlier collapse of the phase touched them (the
  //    driver locks such neighbourhoods).
  const Vec3 m = (mesh.positions[a] + mesh.positions[b]) * 0.5;
  turns.begin_edit();
  for (uint32_t v : {a, b}) {
    for (FaceId f : vertices.faces_of(v)) {
      if (!mesh.alive(f) || turns.dropped(f)) continue;
      const Tri& t = mesh.faces[f];
      const Vec3& old_normal = turns.normal(f);
      turns.drop(f, t, old_normal);
      if (contains(edge_faces, f)) continue;  // removed by the collapse
      Vec3 q[3];
      Tri rewritten = t;
      for (int k = 0; k < 3; ++k) {
        q[k] = (t[k] == a || t[k] == b) ? m : mesh.positions[t[k]];
        if (rewritten[k] == b) rewritten[k] = a;
      }
      const Vec3 new_normal = face_normal(q[0], q[1], q[2]);
      if (dot(new_normal, old_normal) < 0.0) return false;
      if (rewritten[0] == rewritten[1] || rewritten[1] == rewritten[2] || rewritten[2] == rewritten[0]) continue;
      if (is_degenerate_triangle(q[0], q[1], q[2]) &&
          !is_degenerate_triangle(mesh.positions[t[0]], mesh.positions[t[1]], mesh.positions[t[2]])) {
        return false;
      }
      turns.make(f, rewritten, new_normal);
    }
  }
  const bool unturned = turns.keeps_faces_unturned(mesh, [&](uint32_t v, auto&& visit) {
    for (FaceId f : vertices.faces_of(v)) {
      if (mesh.alive(f)) visit(f);
    }
  });
  if (!unturned) return false;

  // 4. Commit. b keeps its position but no alive face uses it any more.
  turns.commit_edit();
  mesh.positions[a] = m;
  for (FaceId f : edge_faces) mesh.removed[f] = 1;
  for (FaceId f : vertices.faces_of(b)) {
    if (!mesh.alive(f)) continue;
    Tri& t = mesh.faces[f];
    for (uint32_t& c : t) {
      if (c == b) c = a;
    }
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) mesh.removed[f] = 1;
  }
  return true;
}

void compact_mesh(RemeshMesh& mesh) {
  constexpr uint32_t kUnused = 0xFFFFFFFF;
  std::vector<Tri> faces;
  faces.reserve(static_cast<std::size_t>(mesh.alive_count()));
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.alive(f)) faces.push_back(mesh.faces[f]);
  }
  std::vector<uint32_t> remap(mesh.positions.size(), kUnused);
  for (const Tri& t : faces) {
    for (uint32_t v : t) {
      if (v >= remap.size()) throw InternalError("remesh: face names a missing vertex");
      remap[v] = 0;  // used; numbered below
    }
  }
  std::vector<Vec3> positions;
  for (std::size_t v = 0; v < remap.size(); ++v) {
    if (remap[v] == kUnused) continue;
    remap[v] = static_cast<uint32_t>(positions.size());
    positions.push_back(mesh.positions[v]);
  }
  for (Tri& t : faces) {
    for (uint32_t& v : t) v = remap[v];
  }
  mesh.positions = std::move(positions);
  mesh.removed.assign(faces.size(), 0);
  mesh.faces = std::move(faces);
}

void move_alive_without_folds(RemeshMesh& mesh, std::span<const Vec3> targets) {
  std::vector<Tri> alive;
  alive.reserve(static_cast<std::size_t>(mesh.alive_count()));
  for (std::size_t f = 0; f < mesh.faces.size(); ++f) {
    if (mesh.alive(f)) alive.push_back(mesh.faces[f]);
  }
  move_without_folds(mesh.positions, alive, targets, MoveGuard{});
}

}  // namespace morvane
