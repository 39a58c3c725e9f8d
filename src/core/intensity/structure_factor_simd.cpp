#include "intensity/structure_factor_simd.hpp"

#include <immintrin.h>

#include "intensity/sin_cos_x4.hpp"
#include "intensity/structure_factor_x8.hpp"

namespace peakforge {
namespace {

// Groups 0 .. groups-1, one per step: accIm += w sin(phase), accRe += w cos(phase).
void add_groups_x4(const MillerIndex& hkl, const AtomColumns& atoms, const double* weights,
                   size_t groups, LaneSums& sums) {
  const __m256d h = _mm256_set1_pd(hkl.h), k = _mm256_set1_pd(hkl.k), l = _mm256_set1_pd(hkl.l);
  const __m256d two_pi_v = _mm256_set1_pd(two_pi);
  const double* x = atoms.x.data();
  const double* y = atoms.y.data();
  const double* z = atoms.z.data();
  __m256d acc_im = _mm256_setzero_pd(), acc_re = _mm256_setzero_pd();
  for (size_t j = 0; j < groups * 4; j += 4) {
    // Separate roundings in the scalar variant's order: the same phases.
    const __m256d phase =
        _mm256_mul_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_load_pd(x + j), h),
                                                  _mm256_mul_pd(_mm256_load_pd(y + j), k)),
                                    _mm256_mul_pd(_mm256_load_pd(z + j), l)),
                      two_pi_v);
    const __m256d w = _mm256_load_pd(weights + j);
    const SinCos4 sc = sin_cos_x4(phase);
    acc_im = _mm256_add_pd(acc_im, _mm256_mul_pd(w, sc.sin));
    acc_re = _mm256_add_pd(acc_re, _mm256_mul_pd(w, sc.cos));
  }
  _mm256_storeu_pd(sums.im, acc_im);
  _mm256_storeu_pd(sums.re, acc_re);
}

double combined(const double (&lanes)[4]) { return ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3]; }

}  // namespace

StructureFactor structure_factor_simd(IndexVector hkl, const AtomColumns& atoms,
                                      const double* weights, SimdWidth width) {
  const MillerIndex index = miller_index(hkl);
  if (atoms.count == 0) return {0.0, 0.0};
  require_every_atom(atoms);
  const size_t groups = atoms.count / 4;
  LaneSums sums{};
  if (width == SimdWidth::eight_lanes) {
    add_groups_x8(index.h, index.k, index.l, atoms.x.data(), atoms.y.data(), atoms.z.data(),
                  weights, groups, sums);
  } else {
    add_groups_x4(index, atoms, weights, groups, sums);
  }
  StructureFactor sum{combined(sums.im), combined(sums.re)};
  for (size_t j = groups * 4; j < atoms.count; ++j) add_atom(index, atoms, weights, j, sum);
  return sum;
}

}  // namespace peakforge
