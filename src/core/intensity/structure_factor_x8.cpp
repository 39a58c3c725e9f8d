// Compiled with -mavx512f. Everything here is either a template instantiated
// for LanesX8 alone or defined in this file, so no AVX-512 code can stand in
// for an inline function that the 4-lane path also uses.
#include "intensity/structure_factor_x8.hpp"

#include <immintrin.h>

#include "intensity/lanes_x8.hpp"
#include "intensity/sin_cos.hpp"

namespace peakforge {
namespace {

constexpr double two_pi_x8 = 6.283185307179586;

struct Products {
  __m512d im;  // w sin(phase) of eight atoms
  __m512d re;  // w cos(phase)
};

// phase = ((x h + y k) + z l) 2 pi with separate roundings, as every other
// variant computes it.
[[gnu::always_inline]] inline Products weighted_terms(__m512d x, __m512d y, __m512d z, __m512d w,
                                                      __m512d h, __m512d k, __m512d l) {
  const __m512d phase = _mm512_mul_pd(
      _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(x, h), _mm512_mul_pd(y, k)), _mm512_mul_pd(z, l)),
      _mm512_set1_pd(two_pi_x8));
  const auto sc = sin_cos<LanesX8>(phase);
  return {_mm512_mul_pd(w, sc.sin), _mm512_mul_pd(w, sc.cos)};
}

[[gnu::always_inline]] inline __m256d low_group(__m512d v) { return _mm512_castpd512_pd256(v); }
[[gnu::always_inline]] inline __m256d high_group(__m512d v) { return _mm512_extractf64x4_pd(v, 1); }

}  // namespace

void add_groups_x8(double h, double k, double l, const double* x, const double* y, const double* z,
                   const double* weights, size_t groups, LaneSums& sums) {
  const __m512d hv = _mm512_set1_pd(h), kv = _mm512_set1_pd(k), lv = _mm512_set1_pd(l);
  __m256d acc_im = _mm256_loadu_pd(sums.im), acc_re = _mm256_loadu_pd(sums.re);
  const size_t paired_atoms = groups / 2 * 8;
  for (size_t j = 0; j < paired_atoms; j += 8) {
    const Products p =
        weighted_terms(_mm512_load_pd(x + j), _mm512_load_pd(y + j), _mm512_load_pd(z + j),
                       _mm512_load_pd(weights + j), hv, kv, lv);
    // Group 2m, then group 2m + 1, as the 4-lane loop adds them.
    acc_im = _mm256_add_pd(_mm256_add_pd(acc_im, low_group(p.im)), high_group(p.im));
    acc_re = _mm256_add_pd(_mm256_add_pd(acc_re, low_group(p.re)), high_group(p.re));
  }
  if (groups % 2 != 0) {
    // The last group alone, in the low half; the high lanes load zeros and
    // are dropped (lanes never influence each other).
    const size_t j = paired_atoms;
    const __mmask8 low = 0x0F;
    const Products p = weighted_terms(
        _mm512_maskz_load_pd(low, x + j), _mm512_maskz_load_pd(low, y + j),
        _mm512_maskz_load_pd(low, z + j), _mm512_maskz_load_pd(low, weights + j), hv, kv, lv);
    acc_im = _mm256_add_pd(acc_im, low_group(p.im));
    acc_re = _mm256_add_pd(acc_re, low_group(p.re));
  }
  _mm256_storeu_pd(sums.im, acc_im);
  _mm256_storeu_pd(sums.re, acc_re);
}

void sin_cos_x8(const double* phases, double* sines, double* cosines) {
  const auto sc = sin_cos<LanesX8>(_mm512_loadu_pd(phases));
  _mm512_storeu_pd(sines, sc.sin);
  _mm512_storeu_pd(cosines, sc.cos);
}

}  // namespace peakforge
