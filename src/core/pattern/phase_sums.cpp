#include "pattern/phase_sums.hpp"

#include <immintrin.h>

#include <cmath>  // for sin, cos, nearbyint

#include "intensity/sin_cos_x4.hpp"

namespace peakforge::pattern {
namespace {

constexpr double two_pi = 6.283185307179586;

double lane_total(__m256d v) {
  alignas(32) double lanes[4];
  _mm256_store_pd(lanes, v);
  return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

}  // namespace

PhaseTable::PhaseTable(const std::vector<double>& u, int32_t first, int32_t last, bool use_simd)
    : first_(first), stride_(u.size()) {
  const size_t rows = last >= first ? static_cast<size_t>(last - first) + 1 : 0;
  re_.resize(rows * stride_);
  im_.resize(rows * stride_);
  for (size_t r = 0; r < rows; ++r) {
    const double n = static_cast<double>(first) + static_cast<double>(r);
    double* out_re = re_.data() + r * stride_;
    double* out_im = im_.data() + r * stride_;
    size_t j = 0;
    if (use_simd) {
      const __m256d nv = _mm256_set1_pd(n), two_pi_v = _mm256_set1_pd(two_pi);
      for (; j + 4 <= stride_; j += 4) {
        // The whole turns of n·u drop out first, so the phase lies in
        // [-π, π] where the reduction is exact.
        const __m256d turns = _mm256_mul_pd(nv, _mm256_loadu_pd(&u[j]));
        const __m256d fraction = _mm256_sub_pd(
            turns, _mm256_round_pd(turns, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        const SinCos4 sc = sin_cos_x4(_mm256_mul_pd(fraction, two_pi_v));
        _mm256_storeu_pd(out_re + j, sc.cos);
        _mm256_storeu_pd(out_im + j, sc.sin);
      }
    }
    for (; j < stride_; ++j) {
      const double turns = n * u[j];
      const double phase = (turns - std::nearbyint(turns)) * two_pi;
      out_re[j] = std::cos(phase);
      out_im[j] = std::sin(phase);
    }
  }
}

void multiply_phases(const double* x_re, const double* x_im, const double* y_re, const double* y_im,
                     double* a_re, double* a_im, size_t count, bool use_simd) {
  size_t j = 0;
  if (use_simd) {
    for (; j < count; j += 4) {
      const __m256d xr = _mm256_loadu_pd(x_re + j), xi = _mm256_loadu_pd(x_im + j);
      const __m256d yr = _mm256_loadu_pd(y_re + j), yi = _mm256_loadu_pd(y_im + j);
      _mm256_storeu_pd(a_re + j, _mm256_fmsub_pd(xr, yr, _mm256_mul_pd(xi, yi)));
      _mm256_storeu_pd(a_im + j, _mm256_fmadd_pd(xr, yi, _mm256_mul_pd(xi, yr)));
    }
  }
  for (; j < count; ++j) {
    a_re[j] = x_re[j] * y_re[j] - x_im[j] * y_im[j];
    a_im[j] = x_re[j] * y_im[j] + x_im[j] * y_re[j];
  }
}

ComplexSum weighted_phase_sum(const double* w, const double* a_re, const double* a_im,
                              const double* e_re, const double* e_im, size_t begin, size_t end,
                              bool use_simd) {
  ComplexSum sum;
  if (use_simd) {
    // Two accumulator pairs, eight atoms a step: the additions of one pair
    // do not wait on the other's.
    __m256d re0 = _mm256_setzero_pd(), im0 = _mm256_setzero_pd();
    __m256d re1 = _mm256_setzero_pd(), im1 = _mm256_setzero_pd();
    for (size_t j = begin; j < end; j += 8) {
      const __m256d ar0 = _mm256_loadu_pd(a_re + j), ai0 = _mm256_loadu_pd(a_im + j);
      const __m256d er0 = _mm256_loadu_pd(e_re + j), ei0 = _mm256_loadu_pd(e_im + j);
      const __m256d w0 = _mm256_loadu_pd(w + j);
      const __m256d pr0 = _mm256_fmsub_pd(ar0, er0, _mm256_mul_pd(ai0, ei0));
      const __m256d pi0 = _mm256_fmadd_pd(ar0, ei0, _mm256_mul_pd(ai0, er0));
      re0 = _mm256_fmadd_pd(w0, pr0, re0);
      im0 = _mm256_fmadd_pd(w0, pi0, im0);
      const __m256d ar1 = _mm256_loadu_pd(a_re + j + 4), ai1 = _mm256_loadu_pd(a_im + j + 4);
      const __m256d er1 = _mm256_loadu_pd(e_re + j + 4), ei1 = _mm256_loadu_pd(e_im + j + 4);
      const __m256d w1 = _mm256_loadu_pd(w + j + 4);
      const __m256d pr1 = _mm256_fmsub_pd(ar1, er1, _mm256_mul_pd(ai1, ei1));
      const __m256d pi1 = _mm256_fmadd_pd(ar1, ei1, _mm256_mul_pd(ai1, er1));
      re1 = _mm256_fmadd_pd(w1, pr1, re1);
      im1 = _mm256_fmadd_pd(w1, pi1, im1);
    }
    sum.re = lane_total(_mm256_add_pd(re0, re1));
    sum.im = lane_total(_mm256_add_pd(im0, im1));
    return sum;
  }
  for (size_t j = begin; j < end; ++j) {
    const double pr = a_re[j] * e_re[j] - a_im[j] * e_im[j];
    const double pi = a_re[j] * e_im[j] + a_im[j] * e_re[j];
    sum.re += w[j] * pr;
    sum.im += w[j] * pi;
  }
  return sum;
}

}  // namespace peakforge::pattern
