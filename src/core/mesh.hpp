// The shared mesh type of the proxy core and the small vector algebra its stages use.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace morvane {

using Vec3 = std::array<double, 3>;
using Tri = std::array<uint32_t, 3>;
using Uv = std::array<float, 2>;

// A triangle index that names no triangle.
inline constexpr uint32_t kNoTriangle = 0xFFFFFFFF;

// One triangle mesh: three f64 per vertex, three u32 vertex indices per triangle.
struct Mesh {
  std::vector<Vec3> positions;
  std::vector<Tri> indices;
};

// An undirected edge: a <= b.
struct EdgeKey {
  uint32_t a;
  uint32_t b;

  // Both vertices in one word, a in the high half: words order as the pairs (a, b) do.
  uint64_t word() const { return (uint64_t{a} << 32) | b; }
  std::array<uint64_t, 1> hash_words() const { return {word()}; }
  friend bool operator==(const EdgeKey&, const EdgeKey&) = default;
};

inline EdgeKey edge_key(uint32_t u, uint32_t v) { return u < v ? EdgeKey{u, v} : EdgeKey{v, u}; }

inline Vec3 operator+(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 operator*(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
inline Vec3& operator+=(Vec3& a, const Vec3& b) {
  a[0] += b[0];
  a[1] += b[1];
  a[2] += b[2];
  return a;
}

inline double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double length_squared(const Vec3& a) { return dot(a, a); }
inline double length(const Vec3& a) { return std::sqrt(dot(a, a)); }

// Unnormalised normal of triangle (p0, p1, p2) in stored order; sums of these are area-weighted.
inline Vec3 face_normal(const Vec3& p0, const Vec3& p1, const Vec3& p2) { return cross(p1 - p0, p2 - p0); }
inline Vec3 face_normal(std::span<const Vec3> positions, const Tri& t) {
  return face_normal(positions[t[0]], positions[t[1]], positions[t[2]]);
}

// True when `normal`, (p1 - p0) x (p2 - p0), is too short to give the triangle a direction: its
// squared length is below 1e-20 times the fourth power of the longest edge, so the test does not
// depend on the model's unit of length. The second form computes the normal itself.
inline bool is_degenerate_triangle(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& normal) {
  const double longest =
      std::fmax(length_squared(p1 - p0), std::fmax(length_squared(p2 - p1), length_squared(p0 - p2)));
  return length_squared(normal) < 1e-20 * (longest * longest);
}
inline bool is_degenerate_triangle(const Vec3& p0, const Vec3& p1, const Vec3& p2) {
  return is_degenerate_triangle(p0, p1, p2, face_normal(p0, p1, p2));
}

inline bool is_finite(const Vec3& p) {
  return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

}  // namespace morvane
