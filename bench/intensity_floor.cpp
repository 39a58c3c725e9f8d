// The machine's floor for the structure-factor sum: the bare loop over atoms
// that every SIMD variant runs (phase, the vector sine/cosine, the two
// multiply-adds into the lane sums), with the atoms in L1 and nothing else of
// a call around it. Built with the module's own compiler flags
// (-DPEAKFORGE_BUILD_BENCH=ON); bench_intensity.py builds and runs it.
//
// Prints "<form> <ns per atom>" lines: the minimum over trials of the
// thread's CPU time, the least disturbed by other work on the machine.
#include <immintrin.h>
#include <time.h>  // for clock_gettime

#include <algorithm>
#include <cstdio>
#include <random>

#include "base/platform.hpp"
#include "intensity/aligned_vector.hpp"
#include "intensity/sin_cos_x4.hpp"
#include "intensity/structure_factor_x8.hpp"

namespace {

using peakforge::AlignedVector;

constexpr size_t atoms = 512;
constexpr int passes = 2000;  // reflections per trial
constexpr int trials = 15;

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

struct Columns {
  AlignedVector<double> x, y, z, w;
};

// The 4-lane loop with nothing around it.
[[gnu::noinline]] void bare_x4(double h, double k, double l, const Columns& c, double* out) {
  const __m256d hv = _mm256_set1_pd(h), kv = _mm256_set1_pd(k), lv = _mm256_set1_pd(l);
  const __m256d two_pi = _mm256_set1_pd(6.283185307179586);
  __m256d acc_im = _mm256_setzero_pd(), acc_re = _mm256_setzero_pd();
  for (size_t j = 0; j < atoms; j += 4) {
    const __m256d phase =
        _mm256_mul_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_load_pd(&c.x[j]), hv),
                                                  _mm256_mul_pd(_mm256_load_pd(&c.y[j]), kv)),
                                    _mm256_mul_pd(_mm256_load_pd(&c.z[j]), lv)),
                      two_pi);
    const __m256d w = _mm256_load_pd(&c.w[j]);
    const peakforge::SinCos4 sc = peakforge::sin_cos_x4(phase);
    acc_im = _mm256_add_pd(acc_im, _mm256_mul_pd(w, sc.sin));
    acc_re = _mm256_add_pd(acc_re, _mm256_mul_pd(w, sc.cos));
  }
  _mm256_storeu_pd(out, _mm256_add_pd(acc_im, acc_re));
}

template <class Loop>
double ns_per_atom(Loop loop) {
  double best = 1e300;
  for (int t = 0; t < trials; ++t) {
    const double start = thread_seconds();
    for (int p = 0; p < passes; ++p) loop(p);
    best = std::min(best, thread_seconds() - start);
  }
  return best / (double(passes) * atoms) * 1e9;
}

}  // namespace

int main() {
  std::mt19937_64 random(1);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  Columns c;
  for (auto* column : {&c.x, &c.y, &c.z, &c.w}) {
    column->resize(atoms);
    for (double& v : *column) v = unit(random);
  }
  double sink[4] = {};
  std::printf("4-lane %.4f\n",
              ns_per_atom([&](int p) { bare_x4(1.0 + p % 7, 2.0 - p % 5, 3.0 + p % 3, c, sink); }));
  if (peakforge::platform::avx512f_usable()) {
    std::printf("8-lane %.4f\n", ns_per_atom([&](int p) {
                  peakforge::LaneSums sums{};
                  peakforge::add_groups_x8(1.0 + p % 7, 2.0 - p % 5, 3.0 + p % 3, c.x.data(),
                                           c.y.data(), c.z.data(), c.w.data(), atoms / 4, sums);
                  sink[0] += sums.im[0];
                }));
  }
  return sink[0] == 12345.0;  // keeps the results alive
}
