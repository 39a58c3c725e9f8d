// The few vector operations the profile kernel is written in, at two widths:
// one double, and four in an AVX2 register. Both run the same IEEE operations
// (no fused multiply-add), so a value computed in a vector lane or in the
// scalar remainder has the same bits.
#pragma once

#include <immintrin.h>

#include <bit>      // for bit_cast
#include <cmath>    // for fabs, copysign, nearbyint
#include <cstddef>  // for size_t
#include <cstdint>  // for int64_t, uint64_t

namespace peakforge::profile {

struct ScalarLane {
  using Vec = double;
  using Mask = bool;
  static constexpr size_t width = 1;

  static Vec load(const double* p) { return *p; }
  static void store(double* p, Vec v) { *p = v; }
  static Vec splat(double v) { return v; }
  static Vec add(Vec a, Vec b) { return a + b; }
  static Vec sub(Vec a, Vec b) { return a - b; }
  static Vec mul(Vec a, Vec b) { return a * b; }
  static Vec div(Vec a, Vec b) { return a / b; }
  static Vec abs(Vec a) { return std::fabs(a); }
  static Vec copy_sign(Vec magnitude, Vec sign) { return std::copysign(magnitude, sign); }
  static Vec round(Vec a) { return std::nearbyint(a); }
  static Vec max(Vec a, Vec b) { return a > b ? a : b; }
  static Mask less(Vec a, Vec b) { return a < b; }
  static Mask greater(Vec a, Vec b) { return a > b; }
  static Mask either(Mask a, Mask b) { return a || b; }
  static bool all(Mask m) { return m; }
  static Vec select(Mask m, Vec if_clear, Vec if_set) { return m ? if_set : if_clear; }
  // 2^n for a whole n in [-1022, 1023].
  static Vec power_of_two(Vec n) {
    return std::bit_cast<double>(static_cast<uint64_t>(static_cast<int64_t>(n) + 1023) << 52);
  }
};

struct X4Lane {
  using Vec = __m256d;
  using Mask = __m256d;
  static constexpr size_t width = 4;

  [[gnu::always_inline]] static Vec load(const double* p) { return _mm256_loadu_pd(p); }
  [[gnu::always_inline]] static void store(double* p, Vec v) { _mm256_storeu_pd(p, v); }
  [[gnu::always_inline]] static Vec splat(double v) { return _mm256_set1_pd(v); }
  [[gnu::always_inline]] static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  [[gnu::always_inline]] static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
  [[gnu::always_inline]] static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  [[gnu::always_inline]] static Vec div(Vec a, Vec b) { return _mm256_div_pd(a, b); }
  [[gnu::always_inline]] static Vec abs(Vec a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  [[gnu::always_inline]] static Vec copy_sign(Vec magnitude, Vec sign) {
    const __m256d bit = _mm256_set1_pd(-0.0);
    return _mm256_or_pd(_mm256_andnot_pd(bit, magnitude), _mm256_and_pd(bit, sign));
  }
  [[gnu::always_inline]] static Vec round(Vec a) {
    return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  [[gnu::always_inline]] static Vec max(Vec a, Vec b) {
    return _mm256_max_pd(b, a);
  }  // a > b ? a : b
  [[gnu::always_inline]] static Mask less(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  [[gnu::always_inline]] static Mask greater(Vec a, Vec b) {
    return _mm256_cmp_pd(a, b, _CMP_GT_OQ);
  }
  [[gnu::always_inline]] static Mask either(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  [[gnu::always_inline]] static bool all(Mask m) { return _mm256_movemask_pd(m) == 0xF; }
  [[gnu::always_inline]] static Vec select(Mask m, Vec if_clear, Vec if_set) {
    return _mm256_blendv_pd(if_clear, if_set, m);
  }
  [[gnu::always_inline]] static Vec power_of_two(Vec n) {
    const __m256i whole = _mm256_cvtepi32_epi64(_mm256_cvtpd_epi32(n));
    return _mm256_castsi256_pd(
        _mm256_slli_epi64(_mm256_add_epi64(whole, _mm256_set1_epi64x(1023)), 52));
  }
};

}  // namespace peakforge::profile
