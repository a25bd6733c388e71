// The proxy's promise as checks on a finished mesh: closed, consistently oriented, no repeated
// corner, no zero-area face and no face turned over against its neighbours. Shared by the tests
// and by the benchmark that audits proxies of many inputs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "core/mesh.hpp"

namespace morvane::test {

struct PromiseReport {
  std::size_t open_edges = 0;        // undirected edges not shared by exactly two faces
  std::size_t misoriented_edges = 0; // directed edges used by more than one face
  std::size_t repeated_corners = 0;  // faces naming one vertex twice
  std::size_t zero_area_faces = 0;   // faces of (near) zero area
  std::size_t turned_over_faces = 0; // faces whose normal opposes every edge neighbour's

  bool holds() const {
    return open_edges == 0 && misoriented_edges == 0 && repeated_corners == 0 && zero_area_faces == 0 &&
           turned_over_faces == 0;
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
  return r;
}

}  // namespace morvane::test
