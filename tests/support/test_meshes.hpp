// Test meshes (closed shapes, and shapes made to break a proxy: thin plates, open sheets, knotted
// tubes) and the geometric checks that the tests share.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numbers>
#include <utility>
#include <vector>

#include "core/mesh.hpp"

namespace morvane::test {

// An axis-aligned box with 8 vertices and 12 outward-facing triangles.
inline Mesh make_box(Vec3 lo, Vec3 hi) {
  Mesh m;
  for (int i = 0; i < 8; ++i) m.positions.push_back({(i & 1) ? hi[0] : lo[0], (i & 2) ? hi[1] : lo[1], (i & 4) ? hi[2] : lo[2]});
  m.indices = {{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
               {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
  return m;
}

// A flat hexagonal fan: centre 0 at the origin, ring 1..6 on the unit circle, six faces wound
// counter-clockwise seen from +z.
inline Mesh make_hexagon_fan() {
  Mesh m;
  m.positions.push_back({0, 0, 0});
  for (int k = 0; k < 6; ++k) {
    const double a = k * std::numbers::pi / 3;
    m.positions.push_back({std::cos(a), std::sin(a), 0});
  }
  for (uint32_t k = 0; k < 6; ++k) m.indices.push_back({0, 1 + k, 1 + (k + 1) % 6});
  return m;
}

// A sphere made by subdividing an icosahedron `levels` times: 20 * 4^levels outward triangles.
inline Mesh make_icosphere(int levels, double radius = 1.0, Vec3 center = {0, 0, 0}) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  std::vector<Vec3> v = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                         {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  std::vector<Tri> f = {{0, 11, 5}, {0, 5, 1}, {0, 1, 7}, {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
                        {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4}, {3, 4, 2}, {3, 2, 6}, {3, 6, 8},
                        {3, 8, 9}, {4, 9, 5}, {2, 4, 11}, {6, 2, 10}, {8, 6, 7}, {9, 8, 1}};
  for (int l = 0; l < levels; ++l) {
    std::map<std::pair<uint32_t, uint32_t>, uint32_t> mid;
    auto midpoint = [&](uint32_t a, uint32_t b) {
      auto key = std::minmax(a, b);
      auto it = mid.find(key);
      if (it != mid.end()) return it->second;
      v.push_back((v[a] + v[b]) * 0.5);
      return mid[key] = static_cast<uint32_t>(v.size() - 1);
    };
    std::vector<Tri> next;
    for (const Tri& tri : f) {
      uint32_t a = midpoint(tri[0], tri[1]), b = midpoint(tri[1], tri[2]), c = midpoint(tri[2], tri[0]);
      next.insert(next.end(), {Tri{tri[0], a, c}, Tri{tri[1], b, a}, Tri{tri[2], c, b}, Tri{a, b, c}});
    }
    f = std::move(next);
  }
  Mesh m;
  for (const Vec3& p : v) m.positions.push_back(center + p * (radius / length(p)));
  m.indices = std::move(f);
  return m;
}

// An icosphere whose radius varies smoothly over the surface: a closed input with curvature of
// both signs, 20 * 4^levels triangles (about 1.3M at level 8).
inline Mesh make_bumpy_sphere(int levels) {
  Mesh m = make_icosphere(levels);
  for (Vec3& p : m.positions) {
    const double bump = 1.0 + 0.08 * std::sin(7 * p[0]) * std::sin(9 * p[1]) * std::sin(11 * p[2]);
    p = p * bump;
  }
  return m;
}

// A torus around the z axis with tube radius r, nu segments around and nv around the tube.
inline Mesh make_torus(double R, double r, uint32_t nu, uint32_t nv) {
  Mesh m;
  for (uint32_t i = 0; i < nu; ++i) {
    const double u = 2 * std::numbers::pi * i / nu;
    for (uint32_t j = 0; j < nv; ++j) {
      const double w = 2 * std::numbers::pi * j / nv;
      m.positions.push_back({(R + r * std::cos(w)) * std::cos(u), (R + r * std::cos(w)) * std::sin(u), r * std::sin(w)});
    }
  }
  auto id = [&](uint32_t i, uint32_t j) { return (i % nu) * nv + (j % nv); };
  for (uint32_t i = 0; i < nu; ++i) {
    for (uint32_t j = 0; j < nv; ++j) {
      m.indices.push_back({id(i, j), id(i + 1, j), id(i + 1, j + 1)});
      m.indices.push_back({id(i, j), id(i + 1, j + 1), id(i, j + 1)});
    }
  }
  return m;
}

// A closed slab, `t` thick, with finely split top and bottom faces.
inline Mesh make_thin_plate(uint32_t nx, uint32_t ny, double t) {
  Mesh m;
  auto id = [&](uint32_t k, uint32_t i, uint32_t j) { return k * nx * ny + j * nx + i; };
  for (uint32_t k = 0; k < 2; ++k)
    for (uint32_t j = 0; j < ny; ++j)
      for (uint32_t i = 0; i < nx; ++i) m.positions.push_back({i / double(nx - 1), 0.6 * j / (ny - 1), k * t});
  for (uint32_t k = 0; k < 2; ++k) {
    for (uint32_t j = 0; j + 1 < ny; ++j) {
      for (uint32_t i = 0; i + 1 < nx; ++i) {
        const uint32_t a = id(k, i, j), b = id(k, i + 1, j), c = id(k, i + 1, j + 1), d = id(k, i, j + 1);
        if (k == 0) m.indices.insert(m.indices.end(), {Tri{a, c, b}, Tri{a, d, c}});
        else m.indices.insert(m.indices.end(), {Tri{a, b, c}, Tri{a, c, d}});
      }
    }
  }
  std::vector<uint32_t> ring;
  for (uint32_t i = 0; i < nx; ++i) ring.push_back(id(0, i, 0));
  for (uint32_t j = 1; j < ny; ++j) ring.push_back(id(0, nx - 1, j));
  for (uint32_t i = nx - 1; i-- > 0;) ring.push_back(id(0, i, ny - 1));
  for (uint32_t j = ny - 1; j-- > 1;) ring.push_back(id(0, 0, j));
  for (std::size_t r = 0; r < ring.size(); ++r) {
    const uint32_t a = ring[r], b = ring[(r + 1) % ring.size()];
    m.indices.insert(m.indices.end(), {Tri{a, b, b + nx * ny}, Tri{a, b + nx * ny, a + nx * ny}});
  }
  return m;
}

// A single open sheet: a wavy square of n x n quads.
inline Mesh make_open_sheet(uint32_t n) {
  Mesh m;
  for (uint32_t j = 0; j <= n; ++j)
    for (uint32_t i = 0; i <= n; ++i) {
      const double x = double(i) / n, y = double(j) / n;
      m.positions.push_back({x, y, 0.1 * std::sin(3 * x) * std::cos(2 * y)});
    }
  for (uint32_t j = 0; j < n; ++j)
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = j * (n + 1) + i, b = a + 1, c = a + n + 2, d = a + n + 1;
      m.indices.insert(m.indices.end(), {Tri{a, b, c}, Tri{a, c, d}});
    }
  return m;
}

// A tube of radius r around a trefoil knot.
inline Mesh make_knotted_tube(uint32_t nu, uint32_t nv, double r) {
  auto knot = [](double u) {
    return Vec3{std::sin(u) + 2 * std::sin(2 * u), std::cos(u) - 2 * std::cos(2 * u), -std::sin(3 * u)};
  };
  Mesh m;
  for (uint32_t i = 0; i < nu; ++i) {
    const double u = 2 * std::numbers::pi * i / nu, du = 1e-4;
    const Vec3 p = knot(u), tangent = knot(u + du) - knot(u - du);
    Vec3 n = cross(tangent, Vec3{0, 0, 1});
    n = n * (1 / length(n));
    Vec3 b = cross(tangent, n);
    b = b * (1 / length(b));
    for (uint32_t j = 0; j < nv; ++j) {
      const double w = 2 * std::numbers::pi * j / nv;
      m.positions.push_back(p + n * (r * std::cos(w)) + b * (r * std::sin(w)));
    }
  }
  auto id = [&](uint32_t i, uint32_t j) { return (i % nu) * nv + (j % nv); };
  for (uint32_t i = 0; i < nu; ++i)
    for (uint32_t j = 0; j < nv; ++j)
      m.indices.insert(m.indices.end(), {Tri{id(i, j), id(i, j + 1), id(i + 1, j + 1)},
                                         Tri{id(i, j), id(i + 1, j + 1), id(i + 1, j)}});
  return m;
}

// The mesh scaled by 2^exponent: exact for every coordinate that stays a normal double.
inline Mesh scaled_by_power_of_two(const Mesh& m, int exponent) {
  Mesh out = m;
  for (Vec3& p : out.positions) {
    p = {std::ldexp(p[0], exponent), std::ldexp(p[1], exponent), std::ldexp(p[2], exponent)};
  }
  return out;
}

inline Mesh merge(const Mesh& a, const Mesh& b) {
  Mesh m = a;
  const auto offset = static_cast<uint32_t>(a.positions.size());
  m.positions.insert(m.positions.end(), b.positions.begin(), b.positions.end());
  for (Tri t : b.indices) m.indices.push_back({t[0] + offset, t[1] + offset, t[2] + offset});
  return m;
}

// Number of undirected edges not shared by exactly two faces (0 for a closed surface).
inline std::size_t open_or_overfull_edges(const Mesh& m) {
  std::map<std::pair<uint32_t, uint32_t>, int> uses;
  for (const Tri& t : m.indices) {
    for (int k = 0; k < 3; ++k) ++uses[std::minmax(t[k], t[(k + 1) % 3])];
  }
  return static_cast<std::size_t>(std::count_if(uses.begin(), uses.end(), [](auto& e) { return e.second != 2; }));
}

// Sum of signed tetrahedron volumes: positive for a closed, outward-oriented surface.
inline double signed_volume(const Mesh& m) {
  double v = 0;
  for (const Tri& t : m.indices) v += dot(m.positions[t[0]], cross(m.positions[t[1]], m.positions[t[2]])) / 6.0;
  return v;
}

// Generalised winding number of a closed, outward-oriented surface around p: about 1 inside,
// about 0 outside (van Oosterom and Strackee's solid angle of each triangle).
inline double winding_number(const Mesh& m, const Vec3& p) {
  double total = 0;
  for (const Tri& t : m.indices) {
    const Vec3 a = m.positions[t[0]] - p, b = m.positions[t[1]] - p, c = m.positions[t[2]] - p;
    const double la = length(a), lb = length(b), lc = length(c);
    const double numerator = dot(a, cross(b, c));
    const double denominator = la * lb * lc + dot(a, b) * lc + dot(b, c) * la + dot(c, a) * lb;
    total += 2.0 * std::atan2(numerator, denominator);
  }
  return total / (4.0 * std::numbers::pi);
}

}  // namespace morvane::test
