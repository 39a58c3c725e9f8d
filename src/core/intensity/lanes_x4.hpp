// Four doubles in a 256-bit AVX2 register, with fused multiply-add: the lane
// type of the 4-lane sine/cosine (sin_cos.hpp). A mask is a vector whose sign
// bit holds the predicate (blendv and the sign flips read nothing else), so a
// mask can also be an integer bit shifted up to the sign.
#pragma once

#include <immintrin.h>

#include <cstdint>  // for uint64_t

namespace peakforge {

struct LanesX4 {
  using Vec = __m256d;
  using Mask = __m256d;
  using Bits = __m256i;

  [[gnu::always_inline]] static Vec splat(double v) { return _mm256_set1_pd(v); }
  [[gnu::always_inline]] static Vec add(Vec a, Vec b) { return _mm256_add_pd(a, b); }
  [[gnu::always_inline]] static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
  [[gnu::always_inline]] static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
  [[gnu::always_inline]] static Vec fma(Vec a, Vec b, Vec c) { return _mm256_fmadd_pd(a, b, c); }
  [[gnu::always_inline]] static Vec abs(Vec a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  [[gnu::always_inline]] static Vec round_to_even(Vec a) {
    return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  [[gnu::always_inline]] static Vec floor(Vec a) { return _mm256_floor_pd(a); }

  // Ordered, quiet comparisons: false for NaN.
  [[gnu::always_inline]] static Mask less(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  [[gnu::always_inline]] static Mask greater(Vec a, Vec b) {
    return _mm256_cmp_pd(a, b, _CMP_GT_OQ);
  }
  [[gnu::always_inline]] static Mask greater_equal(Vec a, Vec b) {
    return _mm256_cmp_pd(a, b, _CMP_GE_OQ);
  }
  [[gnu::always_inline]] static Mask equal(Vec a, Vec b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  [[gnu::always_inline]] static Mask either(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  [[gnu::always_inline]] static Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
  [[gnu::always_inline]] static Mask differ(Mask a, Mask b) { return _mm256_xor_pd(a, b); }
  [[gnu::always_inline]] static bool all(Mask m) { return _mm256_movemask_pd(m) == 0xF; }
  [[gnu::always_inline]] static Mask sign_of(Vec a) { return a; }

  // `if_set` where the mask is set, else `if_clear`.
  [[gnu::always_inline]] static Vec select(Mask m, Vec if_clear, Vec if_set) {
    return _mm256_blendv_pd(if_clear, if_set, m);
  }
  [[gnu::always_inline]] static Vec negate_where(Mask m, Vec a) {
    return _mm256_xor_pd(a, _mm256_and_pd(m, _mm256_set1_pd(-0.0)));
  }

  // The bits of a double holding a whole number in its low mantissa bits.
  [[gnu::always_inline]] static Bits whole_number_bits(Vec a) { return _mm256_castpd_si256(a); }
  [[gnu::always_inline]] static Bits plus_one(Bits n) {
    return _mm256_add_epi64(n, _mm256_set1_epi64x(1));
  }
  // Bit k of n, moved up to the sign.
  template <int k>
  [[gnu::always_inline]] static Mask bit(Bits n) {
    return _mm256_castsi256_pd(_mm256_slli_epi64(n, 63 - k));
  }
};

}  // namespace peakforge
