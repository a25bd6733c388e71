// The proxy's promise as checks on a finished mesh: closed, consistently oriented, no repeated
// corner, no zero-area face, no face turned over against its neighbours and no two vertices at one
// point; a count of intersecting faces, the trace a fold leaves; and how far the proxy of a scaled
// input lies from the scaled proxy. Shared by the tests and by the benchmarks that audit proxies
// of many inputs and at many scales.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/mesh.hpp"

namespace morvane::test {

struct PromiseReport {
  std::size_t open_edges = 0;        // undirected edges not shared by exactly two faces
  std::size_t misoriented_edges = 0; // directed edges used by more than one face
  std::size_t repeated_corners = 0;  // faces naming one vertex twice
  std::size_t zero_area_faces = 0;   // faces of (near) zero area
  std::size_t turned_over_faces = 0; // faces whose normal opposes every edge neighbour's
  std::size_t coincident_vertices = 0;  // vertices at the very position of another vertex

  bool holds() const {
    return open_edges == 0 && misoriented_edges == 0 && repeated_corners == 0 && zero_area_faces == 0 &&
           turned_over_faces == 0 && coincident_vertices == 0;
  }
};

// A face has zero area when its area is below 1e-12 of the largest face's.
inline PromiseReport check_promise(const Mesh& m) {
  PromiseReport r;
  auto key = [](uint32_t a, uint32_t b) { return (uint64_t{a} << 32) | b; };
  std::unordered_map<uint64_t, uint32_t> directed;  // directed edge -> uses
  std::unordered_map<uint64_t, std::pair<uint32_t, uint32_t>> undirected;  // edge -> uses, one face
  std::unordered_map<uint64_t, uint32_t> second_face;
  directed.reserve(m.indices.size() * 3);
  undirected.reserve(m.indices.size() * 2);
  std::vector<Vec3> normals(m.indices.size());
  double largest_area = 0;
  for (std::size_t f = 0; f < m.indices.size(); ++f) {
    const Tri& t = m.indices[f];
    if (t[0] == t[1] || t[1] == t[2] || t[2] == t[0]) ++r.repeated_corners;
    normals[f] = face_normal(m.positions[t[0]], m.positions[t[1]], m.positions[t[2]]);
    largest_area = std::max(largest_area, length(normals[f]));
    for (int k = 0; k < 3; ++k) {
      const uint32_t a = t[k], b = t[(k + 1) % 3];
      if (++directed[key(a, b)] == 2) ++r.misoriented_edges;
      auto [it, fresh] = undirected.try_emplace(key(std::min(a, b), std::max(a, b)), 0, static_cast<uint32_t>(f));
      if (++it->second.first == 2) second_face[it->first] = static_cast<uint32_t>(f);
    }
  }
  std::vector<uint8_t> opposed(m.indices.size(), 0), neighbours(m.indices.size(), 0);
  for (const auto& [edge, uses] : undirected) {
    if (uses.first != 2) {
      ++r.open_edges;
      continue;
    }
    const uint32_t f = uses.second, g = second_face[edge];
    ++neighbours[f];
    ++neighbours[g];
    if (dot(normals[f], normals[g]) < 0) {
      ++opposed[f];
      ++opposed[g];
    }
  }
  for (std::size_t f = 0; f < m.indices.size(); ++f) {
    if (length(normals[f]) <= 1e-12 * largest_area) ++r.zero_area_faces;
    if (neighbours[f] > 0 && opposed[f] == neighbours[f]) ++r.turned_over_faces;
  }
  std::vector<Vec3> sorted = m.positions;
  std::sort(sorted.begin(), sorted.end());
  for (std::size_t v = 1; v < sorted.size(); ++v) r.coincident_vertices += sorted[v] == sorted[v - 1];
  return r;
}

// How far `scaled`, the proxy of an input scaled by 2^exponent, lies from `unit`, the proxy of the
// input itself, scaled the same way: none when their faces differ, else the largest distance of a
// vertex of `unit` from its counterpart in `scaled` brought back by 2^-exponent (which is exact).
inline std::optional<double> scaled_copy_offset(const Mesh& unit, const Mesh& scaled, int exponent) {
  if (scaled.indices != unit.indices || scaled.positions.size() != unit.positions.size()) return std::nullopt;
  double largest = 0;
  for (std::size_t v = 0; v < unit.positions.size(); ++v) {
    const Vec3& p = scaled.positions[v];
    const Vec3 back{std::ldexp(p[0], -exponent), std::ldexp(p[1], -exponent), std::ldexp(p[2], -exponent)};
    largest = std::fmax(largest, length(back - unit.positions[v]));
  }
  return largest;
}

namespace detail {

// Sign of the volume of the tetrahedron (a, b, c, d): which side of the plane abc d lies on.
inline int orientation(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& d) {
  const double v = dot(cross(b - a, c - a), d - a);
  return (v > 0) - (v < 0);
}

// True when the segment pq passes through the inside of triangle abc (p and q strictly on
// opposite sides of its plane).
inline bool segment_crosses_triangle(const Vec3& p, const Vec3& q, const Vec3& a, const Vec3& b, const Vec3& c) {
  if (orientation(a, b, c, p) * orientation(a, b, c, q) >= 0) return false;
  const int s1 = orientation(p, q, a, b), s2 = orientation(p, q, b, c), s3 = orientation(p, q, c, a);
  return (s1 >= 0 && s2 >= 0 && s3 >= 0) || (s1 <= 0 && s2 <= 0 && s3 <= 0);
}

}  // namespace detail

// Pairs of faces that share no vertex and cross each other (an edge of one passes through the
// other). A uniform grid of face boxes finds the candidate pairs.
inline std::size_t count_self_intersections(const Mesh& m) {
  const std::size_t n = m.indices.size();
  if (n < 2) return 0;
  std::vector<std::array<Vec3, 2>> boxes(n);
  Vec3 lo{INFINITY, INFINITY, INFINITY}, hi{-INFINITY, -INFINITY, -INFINITY};
  double mean_size = 0;
  for (std::size_t f = 0; f < n; ++f) {
    Vec3 bmin{INFINITY, INFINITY, INFINITY}, bmax{-INFINITY, -INFINITY, -INFINITY};
    for (uint32_t v : m.indices[f]) {
      for (int a = 0; a < 3; ++a) {
        bmin[a] = std::min(bmin[a], m.positions[v][a]);
        bmax[a] = std::max(bmax[a], m.positions[v][a]);
      }
    }
    boxes[f] = {bmin, bmax};
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], bmin[a]);
      hi[a] = std::max(hi[a], bmax[a]);
      mean_size += (bmax[a] - bmin[a]) / (3.0 * static_cast<double>(n));
    }
  }
  const double cell = std::max(mean_size, 1e-300);
  std::array<int64_t, 3> dims;
  for (int a = 0; a < 3; ++a) dims[a] = std::clamp<int64_t>(static_cast<int64_t>((hi[a] - lo[a]) / cell) + 1, 1, 1024);
  auto cell_of = [&](double x, int a) {
    return std::clamp<int64_t>(static_cast<int64_t>((x - lo[a]) / (hi[a] - lo[a] + 1e-300) * static_cast<double>(dims[a])),
                               0, dims[a] - 1);
  };
  std::unordered_map<int64_t, std::vector<uint32_t>> cells;
  for (std::size_t f = 0; f < n; ++f) {
    for (int64_t z = cell_of(boxes[f][0][2], 2); z <= cell_of(boxes[f][1][2], 2); ++z)
      for (int64_t y = cell_of(boxes[f][0][1], 1); y <= cell_of(boxes[f][1][1], 1); ++y)
        for (int64_t x = cell_of(boxes[f][0][0], 0); x <= cell_of(boxes[f][1][0], 0); ++x)
          cells[(z * dims[1] + y) * dims[0] + x].push_back(static_cast<uint32_t>(f));
  }
  std::size_t count = 0;
  for (const auto& [key, list] : cells) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      for (std::size_t j = i + 1; j < list.size(); ++j) {
        const uint32_t f = list[i], g = list[j];
        const Tri& a = m.indices[f];
        const Tri& b = m.indices[g];
        bool shared = false;
        for (uint32_t u : a) shared = shared || u == b[0] || u == b[1] || u == b[2];
        if (shared) continue;
        // Count the pair once: in the cell holding the lower corner of the boxes' overlap.
        std::array<int64_t, 3> c;
        bool overlap = true;
        for (int k = 0; k < 3; ++k) {
          const double o_lo = std::max(boxes[f][0][k], boxes[g][0][k]);
          overlap = overlap && o_lo <= std::min(boxes[f][1][k], boxes[g][1][k]);
          c[k] = cell_of(o_lo, k);
        }
        if (!overlap || (c[2] * dims[1] + c[1]) * dims[0] + c[0] != key) continue;
        const Vec3 &a0 = m.positions[a[0]], &a1 = m.positions[a[1]], &a2 = m.positions[a[2]];
        const Vec3 &b0 = m.positions[b[0]], &b1 = m.positions[b[1]], &b2 = m.positions[b[2]];
        using detail::segment_crosses_triangle;
        if (segment_crosses_triangle(a0, a1, b0, b1, b2) || segment_crosses_triangle(a1, a2, b0, b1, b2) ||
            segment_crosses_triangle(a2, a0, b0, b1, b2) || segment_crosses_triangle(b0, b1, a0, a1, a2) ||
            segment_crosses_triangle(b1, b2, a0, a1, a2) || segment_crosses_triangle(b2, b0, a0, a1, a2)) {
          ++count;
        }
      }
    }
  }
  return count;
}

}  // namespace morvane::test
