// Sine and cosine of four phases at once, with AVX2 and fused multiply-add:
// a three-part Cody-Waite reduction by pi/2 and two minimax polynomials on
// [-pi/4, pi/4]. Every step is an explicit intrinsic, so the bits do not
// depend on the compiler; the results are fixed to the bit for every input.
#pragma once

#include <immintrin.h>

#include <array>
#include <bit>      // for bit_cast
#include <cmath>    // for INFINITY
#include <cstdint>  // for uint64_t
#include <utility>  // for pair

namespace peakforge {

namespace sin_cos_constants {
// Each constant by its bit pattern, so no decimal conversion can move it.
inline constexpr uint64_t two_over_pi = 0x3FE45F306DC9C883;
// pi/2 = P1 + P2 + P3, stored negated for the reduction's multiply-adds.
inline constexpr uint64_t minus_p1 = 0xBFF921FB50000000;
inline constexpr uint64_t minus_p2 = 0xBE5110B460000000;
inline constexpr uint64_t minus_p3 = 0xBC91A62633145C07;
inline constexpr uint64_t s0 = 0xBFC5555555555548;
inline constexpr uint64_t s1 = 0x3F8111111110F7D0;
inline constexpr uint64_t s2 = 0xBF2A01A019BFDF03;
inline constexpr uint64_t s3 = 0x3EC71DE3567D48A1;
inline constexpr uint64_t s4 = 0xBE5AE5E5A9291F5D;
inline constexpr uint64_t s5 = 0x3DE5D8FD1FD19CCD;
inline constexpr uint64_t c0 = 0x3FA555555555554B;
inline constexpr uint64_t c1 = 0xBF56C16C16C14F91;
inline constexpr uint64_t c2 = 0x3EFA01A019C844F5;
inline constexpr uint64_t c3 = 0xBE927E4F7EAC4BC6;
inline constexpr uint64_t c4 = 0x3E21EE9D7B4E3F05;
inline constexpr uint64_t c5 = 0xBDA8FA49A0861A9B;
// Above this quadrant count the reduction has lost every bit of the phase.
inline constexpr double exact_quadrant = 4503599627370496.0;  // 2^52
inline constexpr double overflow_quadrant = 36028797018963968.0;  // 2^55
inline constexpr double saturated_quadrant = 9223372036854775808.0;  // 2^63
}  // namespace sin_cos_constants

struct SinCos4 {
  __m256d sin;
  __m256d cos;
};

inline __m256d broadcast_bits(uint64_t bits) {
  return _mm256_set1_pd(std::bit_cast<double>(bits));
}

// Quadrant, overflow and signs of sin_cos_x4 when some lane's quadrant count
// y is 2^52 or more, or NaN; s and c are the polynomials' values.
SinCos4 sin_cos_x4_large(__m256d phi, __m256d a, __m256d y, __m256d s, __m256d c);

inline SinCos4 sin_cos_x4(__m256d phi) {
  namespace k = sin_cos_constants;
  const __m256d sign_bit = _mm256_set1_pd(-0.0);
  const __m256d a = _mm256_andnot_pd(sign_bit, phi);
  const __m256d y = _mm256_round_pd(_mm256_mul_pd(a, broadcast_bits(k::two_over_pi)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);

  __m256d r = _mm256_fmadd_pd(y, broadcast_bits(k::minus_p1), a);
  r = _mm256_fmadd_pd(y, broadcast_bits(k::minus_p2), r);
  r = _mm256_fmadd_pd(y, broadcast_bits(k::minus_p3), r);
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d r4 = _mm256_mul_pd(r2, r2);
  const __m256d r8 = _mm256_mul_pd(r4, r4);
  const __m256d r3 = _mm256_mul_pd(r, r2);

  __m256d p = _mm256_fmadd_pd(
      r8, _mm256_fmadd_pd(r2, broadcast_bits(k::s5), broadcast_bits(k::s4)),
      _mm256_fmadd_pd(r2, broadcast_bits(k::s1), broadcast_bits(k::s0)));
  p = _mm256_fmadd_pd(r4, _mm256_fmadd_pd(r2, broadcast_bits(k::s3), broadcast_bits(k::s2)), p);
  __m256d s = _mm256_fmadd_pd(r3, p, r);

  __m256d q = _mm256_fmadd_pd(
      r8, _mm256_fmadd_pd(r2, broadcast_bits(k::c5), broadcast_bits(k::c4)),
      _mm256_fmadd_pd(r2, broadcast_bits(k::c1), broadcast_bits(k::c0)));
  q = _mm256_fmadd_pd(r4, _mm256_fmadd_pd(r2, broadcast_bits(k::c3), broadcast_bits(k::c2)), q);
  __m256d c = _mm256_fmadd_pd(
      r4, q, _mm256_fmadd_pd(r2, _mm256_set1_pd(-0.5), _mm256_set1_pd(1.0)));

  if (_mm256_movemask_pd(_mm256_cmp_pd(y, _mm256_set1_pd(k::exact_quadrant), _CMP_LT_OQ)) == 0xF) {
    // Every quadrant n = y is below 2^52: y + 2^52 holds n in its low bits.
    const __m256i n = _mm256_castpd_si256(_mm256_add_pd(y, _mm256_set1_pd(k::exact_quadrant)));
    const __m256i next = _mm256_add_epi64(n, _mm256_set1_epi64x(1));
    // Shifted to the sign bit, which is all that blends and flips look at.
    const __m256d odd = _mm256_castsi256_pd(_mm256_slli_epi64(n, 63));
    const __m256d bit1 = _mm256_castsi256_pd(_mm256_slli_epi64(n, 62));
    const __m256d next_bit1 = _mm256_castsi256_pd(_mm256_slli_epi64(next, 62));
    return {_mm256_xor_pd(_mm256_blendv_pd(s, c, odd),
                          _mm256_and_pd(_mm256_xor_pd(bit1, phi), sign_bit)),
            _mm256_xor_pd(_mm256_blendv_pd(c, s, odd), _mm256_and_pd(next_bit1, sign_bit))};
  }
  return sin_cos_x4_large(phi, a, y, s, c);
}

// The same for four phases in memory: (sin, cos) per lane.
std::array<std::pair<double, double>, 4> sin_cos_x4(const std::array<double, 4>& phases);

}  // namespace peakforge
