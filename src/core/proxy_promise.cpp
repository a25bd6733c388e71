#include "proxy_promise.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include <fmt/format.h>

#include "bounds.hpp"
#include "core_errors.hpp"
#include "grid_array.hpp"
#include "incidence.hpp"
#include "parallel.hpp"
#include "progress.hpp"
#include "seal_pinholes.hpp"

namespace morvane {
namespace {

// Per face, the clauses it takes part in, as bits in Clause order.
uint8_t bit(PromiseBreach::Clause c) { return static_cast<uint8_t>(1u << static_cast<unsigned>(c)); }
constexpr uint32_t kNoFace = kNoTriangle;

// Mending rounds before a proxy is refused, and the largest hole they fill: a hole left by one bad
// face grows by a ring of faces per round.
constexpr int kMendRounds = 6;
constexpr uint64_t kLargestMendedHole = 64;

// Raises `value` to at least `candidate`; the maximum does not depend on the order of the calls.
void raise_to(std::atomic<double>& value, double candidate) {
  for (double seen = value.load(std::memory_order_relaxed);
       candidate > seen && !value.compare_exchange_weak(seen, candidate, std::memory_order_relaxed);) {
  }
}

// A power of two that brings the longest side of the positions' box to between 1/2 and 1.
double unit_scale(std::span<const Vec3> positions) {
  const Vec3 e = finite_bounds(positions).extent();
  const double longest = std::fmax(e[0], std::fmax(e[1], e[2]));
  return longest > 0 && std::isfinite(longest) ? std::ldexp(1.0, -std::ilogb(longest) - 1) : 1.0;
}

bool has_repeated_corner(const Tri& t) { return t[0] == t[1] || t[1] == t[2] || t[2] == t[0]; }

// The one other face on the edge (a, b) of face f when the edge has exactly two sides; else kNoFace.
uint32_t other_face_on_edge(const Incidence& around, std::span<const Tri> faces, std::size_t f, uint32_t a,
                            uint32_t b) {
  const uint32_t other = other_triangle_on_edge(around, faces, f, a, b);
  // A face naming a or b twice brings two sides to the edge.
  return other != kNoFace && !has_repeated_corner(faces[other]) ? other : kNoFace;
}

// True when face t has the side a -> b.
bool runs_from(const Tri& t, uint32_t a, uint32_t b) {
  return (t[0] == a && t[1] == b) || (t[1] == a && t[2] == b) || (t[2] == a && t[0] == b);
}

std::string corner_text(const Vec3& p) { return fmt::format("({:.6g}, {:.6g}, {:.6g})", p[0], p[1], p[2]); }

}  // namespace

PromiseCheck check_proxy_promise(std::span<const Vec3> positions, std::span<const Tri> faces) {
  using Clause = PromiseBreach::Clause;
  PromiseCheck check;
  const std::size_t n = faces.size();
  if (n == 0) return check;
  const Incidence around = build_incidence(positions.size(), faces);

  // Normals and areas are measured on the mesh scaled by a power of two (exact) to about unit size,
  // so that neither overflows nor underflows at any scale the grids take.
  const double scale = unit_scale(positions);
  GridArray<Vec3> normals(n);
  GridArray<uint8_t> degenerate(n);
  std::atomic<double> largest{0.0};
  parallel_for_chunks(0, n, 1 << 14, [&](std::size_t lo, std::size_t hi) {
    double longest = 0.0;
    for (std::size_t f = lo; f < hi; ++f) {
      const Tri& t = faces[f];
      const Vec3 d1 = (positions[t[1]] - positions[t[0]]) * scale, d2 = (positions[t[2]] - positions[t[0]]) * scale;
      normals[f] = cross(d1, d2);
      degenerate[f] = is_degenerate_triangle(Vec3{0, 0, 0}, d1, d2, normals[f]);
      longest = std::fmax(longest, length(normals[f]));
    }
    raise_to(largest, longest);
  });
  const double tiny = 1e-12 * largest.load(std::memory_order_relaxed);

  // Each face judges its own edges and shape, so every face of a breach is marked by itself.
  GridArray<uint8_t> flags(n);
  parallel_for_each_index(0, n, [&](std::size_t f) {
    const Tri& t = faces[f];
    if (has_repeated_corner(t)) {
      flags[f] = bit(Clause::RepeatedCorner);
      return;
    }
    uint8_t bits = 0;
    if (degenerate[f] || length(normals[f]) <= tiny) bits |= bit(Clause::ZeroArea);
    bool any_across = false, all_opposed = true;
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = t[k], b = t[(k + 1) % 3];
      const uint32_t g = other_face_on_edge(around, faces, f, a, b);
      if (g == kNoFace) {
        bits |= bit(Clause::OpenEdge);
      } else if (runs_from(faces[g], a, b)) {
        bits |= bit(Clause::MisorientedEdge);
      } else {
        any_across = true;
        all_opposed = all_opposed && dot(normals[f], normals[g]) < 0.0;
      }
    }
    if (any_across && all_opposed) bits |= bit(Clause::TurnedOver);
    flags[f] = bits;
  });

  for (std::size_t f = 0; f < n; ++f) {
    if (flags[f] != 0) check.faces.push_back(static_cast<uint32_t>(f));
  }
  if (check.faces.empty()) return check;

  const uint32_t f = check.faces.front();
  PromiseBreach breach{Clause::OpenEdge, f};
  for (unsigned c = 0; c <= static_cast<unsigned>(Clause::TurnedOver); ++c) {
    if ((flags[f] >> c) & 1) {
      breach.clause = static_cast<Clause>(c);
      break;
    }
  }
  for (int k = 0; k < 3 && (breach.clause == Clause::OpenEdge || breach.clause == Clause::MisorientedEdge); ++k) {
    const uint32_t a = faces[f][k], b = faces[f][(k + 1) % 3];
    const uint32_t g = other_face_on_edge(around, faces, f, a, b);
    if ((breach.clause == Clause::OpenEdge) == (g == kNoFace) && (g == kNoFace || runs_from(faces[g], a, b))) {
      breach.edge = edge_key(a, b);
      breach.uses = static_cast<uint32_t>(sides_on_edge(around, faces, a, b));
      break;
    }
  }
  check.first = breach;
  return check;
}

std::string promise_breach_display(std::span<const Vec3> positions, std::span<const Tri> faces,
                                   const PromiseBreach& breach) {
  using Clause = PromiseBreach::Clause;
  const Tri& t = faces[breach.face];
  switch (breach.clause) {
    case Clause::OpenEdge:
      return fmt::format("the edge from {} to {} has {} face{} instead of two", corner_text(positions[breach.edge.a]),
                         corner_text(positions[breach.edge.b]), breach.uses, breach.uses == 1 ? "" : "s");
    case Clause::MisorientedEdge:
      return fmt::format("the two faces along the edge from {} to {} are wound the same way",
                         corner_text(positions[breach.edge.a]), corner_text(positions[breach.edge.b]));
    case Clause::RepeatedCorner:
      return fmt::format("a face names the vertex at {} twice",
                         corner_text(positions[t[0] == t[1] || t[0] == t[2] ? t[0] : t[1]]));
    case Clause::ZeroArea:
      return fmt::format("the face with corners {}, {} and {} has zero area", corner_text(positions[t[0]]),
                         corner_text(positions[t[1]]), corner_text(positions[t[2]]));
    case Clause::TurnedOver:
      return fmt::format("the face with corners {}, {} and {} is turned against all its neighbours",
                         corner_text(positions[t[0]]), corner_text(positions[t[1]]), corner_text(positions[t[2]]));
  }
  return {};
}

uint64_t keep_proxy_promise(Mesh& mesh) {
  PromiseCheck check = check_proxy_promise(mesh.positions, mesh.indices);
  if (check.holds()) return 0;
  uint64_t removed = 0;
  std::string breach;
  for (int round = 0; round < kMendRounds && !check.holds(); ++round) {
    breach = promise_breach_display(mesh.positions, mesh.indices, *check.first);
    std::vector<uint8_t> remove(mesh.indices.size(), 0);
    for (uint32_t f : check.faces) remove[f] = 1;
    std::size_t kept = 0;
    for (std::size_t f = 0; f < mesh.indices.size(); ++f) {
      if (!remove[f]) mesh.indices[kept++] = mesh.indices[f];
    }
    removed += mesh.indices.size() - kept;
    mesh.indices.resize(kept);
    seal_pinholes(mesh.positions, mesh.indices, kLargestMendedHole);
    check = check_proxy_promise(mesh.positions, mesh.indices);
  }
  if (!check.holds()) breach = promise_breach_display(mesh.positions, mesh.indices, *check.first);
  if (!check.holds() || mesh.indices.empty()) {
    throw InputError("the proxy could not be kept closed and unfolded: " + breach);
  }
  // Vertices of the removed faces that no fill uses.
  std::vector<uint32_t> renumber(mesh.positions.size(), kNoFace);
  for (const Tri& t : mesh.indices) {
    for (uint32_t v : t) renumber[v] = 0;
  }
  std::size_t used = 0;
  for (std::size_t v = 0; v < mesh.positions.size(); ++v) {
    if (renumber[v] == kNoFace) continue;
    renumber[v] = static_cast<uint32_t>(used);
    mesh.positions[used++] = mesh.positions[v];
  }
  mesh.positions.resize(used);
  for (Tri& t : mesh.indices) {
    for (uint32_t& v : t) v = renumber[v];
  }
  report(fmt::format("  mended the proxy: replaced {} faces that broke it\n", removed));
  return removed;
}

}  // namespace morvane
