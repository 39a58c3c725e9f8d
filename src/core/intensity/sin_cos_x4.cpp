#include "intensity/sin_cos_x4.hpp"

namespace peakforge {

// Quadrant, overflow and signs of sin_cos_x4 when some lane's quadrant count
// is 2^52 or more, or NaN.
SinCos4 sin_cos_x4_large(__m256d phi, __m256d a, __m256d y, __m256d s, __m256d c) {
  namespace k = sin_cos_constants;
  const __m256d sign_bit = _mm256_set1_pd(-0.0);
  // The quadrant n is y as a signed 64-bit integer (truncated, saturating at
  // 2^63 - 1, NaN giving 0). AVX2 has no such conversion, and only n mod 4
  // and the test n > 2^55 are needed: y is a whole number, so y - 4 floor(y/4)
  // is n mod 4 exactly; a saturated n is 3 mod 4, a NaN one 0 (the compare
  // results of a NaN lane are all false, which leaves it at 0). Bit 1 of
  // n + 1 in wrapping arithmetic is bit 1 of (n mod 4) + 1, the wrap from
  // 2^63 - 1 included.
  const __m256d quarter = _mm256_mul_pd(y, _mm256_set1_pd(0.25));
  __m256d n_mod_4 =
      _mm256_sub_pd(y, _mm256_mul_pd(_mm256_floor_pd(quarter), _mm256_set1_pd(4.0)));
  const __m256d saturated = _mm256_cmp_pd(y, _mm256_set1_pd(k::saturated_quadrant), _CMP_GE_OQ);
  n_mod_4 = _mm256_blendv_pd(n_mod_4, _mm256_set1_pd(3.0), saturated);
  const __m256d odd = _mm256_or_pd(_mm256_cmp_pd(n_mod_4, _mm256_set1_pd(1.0), _CMP_EQ_OQ),
                                   _mm256_cmp_pd(n_mod_4, _mm256_set1_pd(3.0), _CMP_EQ_OQ));
  const __m256d bit1 = _mm256_cmp_pd(n_mod_4, _mm256_set1_pd(2.0), _CMP_GE_OQ);
  const __m256d next_bit1 =
      _mm256_or_pd(_mm256_cmp_pd(n_mod_4, _mm256_set1_pd(1.0), _CMP_EQ_OQ),
                   _mm256_cmp_pd(n_mod_4, _mm256_set1_pd(2.0), _CMP_EQ_OQ));

  // n > 2^55 with a finite phase: nothing of the phase is left but its sign.
  const __m256d overflow =
      _mm256_and_pd(_mm256_cmp_pd(y, _mm256_set1_pd(k::overflow_quadrant), _CMP_GT_OQ),
                    _mm256_cmp_pd(a, _mm256_set1_pd(INFINITY), _CMP_LT_OQ));
  s = _mm256_blendv_pd(s, _mm256_setzero_pd(), overflow);
  c = _mm256_blendv_pd(c, _mm256_set1_pd(1.0), overflow);

  const __m256d sin_magnitude = _mm256_blendv_pd(s, c, odd);
  const __m256d cos_magnitude = _mm256_blendv_pd(c, s, odd);
  const __m256d sin_flip =
      _mm256_xor_pd(_mm256_and_pd(bit1, sign_bit), _mm256_and_pd(phi, sign_bit));
  const __m256d cos_flip = _mm256_and_pd(next_bit1, sign_bit);
  return {_mm256_xor_pd(sin_magnitude, sin_flip), _mm256_xor_pd(cos_magnitude, cos_flip)};
}

std::array<std::pair<double, double>, 4> sin_cos_x4(const std::array<double, 4>& phases) {
  const SinCos4 v = sin_cos_x4(_mm256_loadu_pd(phases.data()));
  alignas(32) double s[4], c[4];
  _mm256_store_pd(s, v.sin);
  _mm256_store_pd(c, v.cos);
  return {{{s[0], c[0]}, {s[1], c[1]}, {s[2], c[2]}, {s[3], c[3]}}};
}

}  // namespace peakforge
