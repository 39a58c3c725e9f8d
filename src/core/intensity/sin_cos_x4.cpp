#include "intensity/sin_cos_x4.hpp"

namespace peakforge {

std::array<std::pair<double, double>, 4> sin_cos_x4(const std::array<double, 4>& phases) {
  const SinCos4 v = sin_cos_x4(_mm256_loadu_pd(phases.data()));
  alignas(32) double s[4], c[4];
  _mm256_store_pd(s, v.sin);
  _mm256_store_pd(c, v.cos);
  return {{{s[0], c[0]}, {s[1], c[1]}, {s[2], c[2]}, {s[3], c[3]}}};
}

}  // namespace peakforge
