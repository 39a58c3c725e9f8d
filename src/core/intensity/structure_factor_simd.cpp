#include "intensity/structure_factor_simd.hpp"

#include <immintrin.h>

#include <algorithm>  // for min

#include "intensity/sin_cos_x4.hpp"

namespace peakforge {
namespace {

// Reads the per-atom entries of atoms j..j+3 in the scalar step's order, so
// that a short array fails with the message the scalar variant gives.
void check_group(const Vector& y, const Vector& z, const Vector& f, const Vector& occ,
                 const Vector& dw, size_t j) {
  for (size_t lane = j; lane < j + 4; ++lane) {
    (void)at(y, lane), (void)at(z, lane);
    (void)at(f, lane), (void)at(occ, lane), (void)at(dw, lane);
  }
}

double lane_sum(__m256d v) {
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, v);
  return ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3];
}

}  // namespace

StructureFactor structure_factor_simd(const Vector& hkl, const Vector& x, const Vector& y,
                                      const Vector& z, const Vector& f, const Vector& occ,
                                      const Vector& dw, size_t n) {
  const double h = at(hkl, 0), k = at(hkl, 1), l = at(hkl, 2);
  const size_t grouped = n / 4 * 4;
  const size_t shortest =
      std::min({y.size(), z.size(), f.size(), occ.size(), dw.size()});

  const __m256d hv = _mm256_set1_pd(h), kv = _mm256_set1_pd(k), lv = _mm256_set1_pd(l);
  const __m256d two_pi_v = _mm256_set1_pd(two_pi);
  __m256d acc_im = _mm256_setzero_pd(), acc_re = _mm256_setzero_pd();
  for (size_t j = 0; j < grouped; j += 4) {
    if (shortest < j + 4) check_group(y, z, f, occ, dw, j);
    const __m256d xj = _mm256_loadu_pd(&x[j]), yj = _mm256_loadu_pd(&y[j]);
    const __m256d zj = _mm256_loadu_pd(&z[j]);
    // Separate roundings in the scalar variant's order: the same phases.
    const __m256d phase = _mm256_mul_pd(
        _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(xj, hv), _mm256_mul_pd(yj, kv)),
                      _mm256_mul_pd(zj, lv)),
        two_pi_v);
    const __m256d weight = _mm256_mul_pd(
        _mm256_mul_pd(_mm256_loadu_pd(&f[j]), _mm256_loadu_pd(&occ[j])),
        _mm256_loadu_pd(&dw[j]));
    const SinCos4 sc = sin_cos_x4(phase);
    acc_im = _mm256_add_pd(acc_im, _mm256_mul_pd(weight, sc.sin));
    acc_re = _mm256_add_pd(acc_re, _mm256_mul_pd(weight, sc.cos));
  }

  StructureFactor sum{lane_sum(acc_im), lane_sum(acc_re)};
  for (size_t j = grouped; j < n; ++j) add_atom(h, k, l, x, y, z, f, occ, dw, j, sum);
  return sum;
}

}  // namespace peakforge
