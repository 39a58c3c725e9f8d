// One double as a lane: the scalar model of the vector sine/cosine
// (sin_cos.hpp), the same steps as the 4- and 8-lane forms.
#pragma once

#include <bit>      // for bit_cast
#include <cmath>    // for fma, floor
#include <cstdint>  // for uint64_t
#include <utility>  // for pair

#include "intensity/sin_cos.hpp"

namespace peakforge {

struct ScalarLane {
  using Vec = double;
  using Mask = bool;
  using Bits = uint64_t;

  static double splat(double v) { return v; }
  static double add(double a, double b) { return a + b; }
  static double sub(double a, double b) { return a - b; }
  static double mul(double a, double b) { return a * b; }
  static double fma(double a, double b, double c) { return std::fma(a, b, c); }
  static double abs(double a) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(a) & ~(uint64_t{1} << 63));
  }
  static double round_to_even(double a) { return __builtin_roundeven(a); }
  static double floor(double a) { return std::floor(a); }

  static bool less(double a, double b) { return a < b; }
  static bool greater(double a, double b) { return a > b; }
  static bool greater_equal(double a, double b) { return a >= b; }
  static bool equal(double a, double b) { return a == b; }
  static bool either(bool a, bool b) { return a || b; }
  static bool both(bool a, bool b) { return a && b; }
  static bool differ(bool a, bool b) { return a != b; }
  static bool all(bool m) { return m; }
  static bool sign_of(double a) { return std::bit_cast<uint64_t>(a) >> 63; }

  static double select(bool m, double if_clear, double if_set) { return m ? if_set : if_clear; }
  static double negate_where(bool m, double a) {
    return std::bit_cast<double>(std::bit_cast<uint64_t>(a) ^ (uint64_t{m} << 63));
  }

  static uint64_t whole_number_bits(double a) { return std::bit_cast<uint64_t>(a); }
  static uint64_t plus_one(uint64_t n) { return n + 1; }
  template <int k>
  static bool bit(uint64_t n) {
    return (n >> k) & 1;
  }
};

// (sin phi, cos phi) by the scalar model: the bits of any lane of
// sin_cos_x4 and sin_cos_x8 for the same phase.
inline std::pair<double, double> sin_cos_model(double phi) {
  const auto result = sin_cos<ScalarLane>(phi);
  return {result.sin, result.cos};
}

}  // namespace peakforge
