// Conversions and integer arithmetic with defined results for every input.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace morvane {

// Float to integer that never has undefined behaviour: NaN gives 0, values beyond the
// integer's range clamp to it, everything else truncates toward zero.
template <class I, class F>
constexpr I saturating_cast(F x) {
  static_assert(std::is_integral_v<I> && std::is_floating_point_v<F>);
  using L = std::numeric_limits<I>;
  if (std::isnan(x)) return 0;
  if (x <= static_cast<F>(L::min())) return L::min();
  if (x >= static_cast<F>(L::max())) return L::max();  // max() rounds up to a power of two in F
  return static_cast<I>(x);
}

// Double to float, rounded to nearest, with values beyond the float range becoming infinities
// (a plain conversion of such a value is undefined behaviour).
inline float narrow_to_float(double value) {
  // From FLT_MAX + half its last place on, the nearest float is infinity.
  constexpr double kRoundsToInfinity = static_cast<double>(std::numeric_limits<float>::max()) + 0x1p103;
  if (std::fabs(value) >= kRoundsToInfinity) {
    return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }
  return static_cast<float>(value);
}

inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

inline uint64_t saturating_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// Product of three cell counts, or UINT64_MAX when it does not fit in 64 bits.
inline uint64_t checked_volume(uint64_t nx, uint64_t ny, uint64_t nz) {
  uint64_t xy, xyz;
  if (__builtin_mul_overflow(nx, ny, &xy) || __builtin_mul_overflow(xy, nz, &xyz)) return UINT64_MAX;
  return xyz;
}

}  // namespace morvane
