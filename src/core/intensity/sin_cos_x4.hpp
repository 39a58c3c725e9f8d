// Sine and cosine of four phases at once, with AVX2 and fused multiply-add:
// the 4-lane form of sin_cos.hpp. Every step is an explicit intrinsic, so
// the bits do not depend on the compiler; they are the same as those of the
// 8-lane form and of the scalar model for every input.
#pragma once

#include <immintrin.h>

#include <array>
#include <utility>  // for pair

#include "intensity/lanes_x4.hpp"
#include "intensity/sin_cos.hpp"

namespace peakforge {

struct SinCos4 {
  __m256d sin;
  __m256d cos;
};

[[gnu::always_inline]] inline SinCos4 sin_cos_x4(__m256d phi) {
  const auto result = sin_cos<LanesX4>(phi);
  return {result.sin, result.cos};
}

// The same for four phases in memory: (sin, cos) per lane.
std::array<std::pair<double, double>, 4> sin_cos_x4(const std::array<double, 4>& phases);

}  // namespace peakforge
