// exp and atan written once over the profile's lane operations, so that the
// vector and the scalar paths give the same bits.
//
// exp: n = round(x / ln 2), r = x − n ln 2 in two parts (Cody and Waite), the
// Taylor series of e^r to r¹³ (|r| ≤ ln2 / 2: truncation below 1e-17), then
// 2^n in two factors so that results down to the subnormals round once.
// atan: Cephes' reduction to |x| ≤ 0.66 and its rational fit of degree 4/5
// (errors within one unit in the last place, checked against the C library).
#pragma once

#include "profile/profile_lanes.hpp"

namespace peakforge::profile {

// e^x for x in [-1500, 700]; 0 below about −745 as the true value rounds.
template <class L>
[[gnu::always_inline]] inline typename L::Vec lane_exp(typename L::Vec x) {
  using V = typename L::Vec;
  constexpr double log2e = 1.4426950408889634, ln2_high = 0.693145751953125,
                   ln2_low = 1.4286068203094173e-06;
  const V n = L::round(L::mul(x, L::splat(log2e)));
  const V r = L::sub(L::sub(x, L::mul(n, L::splat(ln2_high))), L::mul(n, L::splat(ln2_low)));
  // 1/13!, ..., 1/2!, 1, 1 by Horner.
  constexpr double c[14] = {1.6059043836821613e-10,
                            2.08767569878681e-09,
                            2.505210838544172e-08,
                            2.755731922398589e-07,
                            2.7557319223985893e-06,
                            2.48015873015873e-05,
                            0.0001984126984126984,
                            0.001388888888888889,
                            0.008333333333333333,
                            0.041666666666666664,
                            0.16666666666666666,
                            0.5,
                            1.0,
                            1.0};
  V p = L::splat(c[0]);
  for (int i = 1; i < 14; ++i) p = L::add(L::mul(p, r), L::splat(c[i]));
  // 2^n = 2^a · 2^b with a ≥ −1022 and b ≥ −1022 for n down to −2044.
  const V a = L::max(n, L::splat(-1022.0));
  const V b = L::max(L::sub(n, a), L::splat(-1022.0));
  return L::mul(L::mul(p, L::power_of_two(a)), L::power_of_two(b));
}

template <class L>
[[gnu::always_inline]] inline typename L::Vec lane_atan(typename L::Vec x) {
  using V = typename L::Vec;
  constexpr double tan_3pi_8 = 2.414213562373095, more_bits = 6.123233995736766e-17;
  constexpr double p[5] = {-8.750608600031904e-01, -1.615753718733365e+01, -7.500855792314705e+01,
                           -1.228866684490136e+02, -6.485021904942025e+01};
  constexpr double q[5] = {2.485846490142306e+01, 1.650270098316988e+02, 4.328810604912903e+02,
                           4.853903996359137e+02, 1.945506571482614e+02};
  const V a = L::abs(x);
  const typename L::Mask big = L::greater(a, L::splat(tan_3pi_8));
  const typename L::Mask middle =
      L::greater(a, L::splat(0.66));  // and not big, by the order of selects
  // (a − 1) / (a + 1) in the middle range, −1 / a beyond it: one division.
  const V numerator = L::select(big, L::sub(a, L::splat(1.0)), L::splat(-1.0));
  const V denominator = L::select(big, L::add(a, L::splat(1.0)), a);
  const V reduced = L::select(middle, a, L::div(numerator, denominator));
  V offset = L::select(middle, L::splat(0.0), L::splat(0.7853981633974483));
  offset = L::select(big, offset, L::splat(1.5707963267948966));
  V extra = L::select(middle, L::splat(0.0), L::splat(0.5 * more_bits));
  extra = L::select(big, extra, L::splat(more_bits));
  const V z = L::mul(reduced, reduced);
  V num = L::splat(p[0]), den = L::add(z, L::splat(q[0]));
  for (int i = 1; i < 5; ++i) {
    num = L::add(L::mul(num, z), L::splat(p[i]));
    den = L::add(L::mul(den, z), L::splat(q[i]));
  }
  const V tail = L::div(L::mul(z, num), den);
  const V result = L::add(offset, L::add(L::add(L::mul(reduced, tail), reduced), extra));
  return L::copy_sign(result, x);
}

}  // namespace peakforge::profile
