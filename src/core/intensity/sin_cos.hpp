// Sine and cosine of a phase, written once over a lane type L, so that the
// 4-lane AVX2 form, the 8-lane AVX-512 form and the scalar model are the same
// source. L supplies the vector type and its operations (lanes_x4.hpp,
// lanes_x8.hpp, lane_scalar.hpp); every step below is one operation per lane,
// so lanes never influence each other and every lane width gives the same
// bits for the same phase.
//
// The algorithm, per lane:
//   reduce:     y = round_to_even(|phi| * 2/pi), r = |phi| - y (P1 + P2 + P3),
//               a three-part Cody-Waite reduction, each part a fused
//               multiply-add;
//   polynomials on r in [-pi/4, pi/4]:
//               sin r = r + r^3 (S0 + S1 r^2 + ... + S5 r^10),
//               cos r = (1 - r^2/2) + r^4 (C0 + C1 r^2 + ... + C5 r^10),
//               evaluated in the Estrin-like order of sine_polynomial and
//               cosine_polynomial below;
//   quadrant:   with n = y as a signed 64-bit integer (truncated, saturating
//               at 2^63 - 1, NaN giving 0): n odd swaps sine and cosine; the
//               sine is negated when bit 1 of n differs from the sign of phi,
//               the cosine when bit 1 of n + 1 is set. When n > 2^55 and phi
//               is finite nothing of the phase is left but its sign: sine 0
//               (signed), cosine 1.
//
// Where the constants come from: they are the bit patterns the module's
// results have been defined with from the start, and they are not to be
// re-derived (every intensity computed on the SIMD path depends on their last
// bit; a digest in the unit tests pins them). S0..S5 and C0..C5 are a
// minimax-style fit of sin and cos on [-pi/4, pi/4], not Taylor terms: S0 is
// -1/6 + 3.6e-16, S1 is 1/120 - 1.1e-14, and the higher terms move further
// from 1/k!, spreading the truncation error over the interval. P1 and P2 are
// pi/2 cut to 24 and 25 significant bits, P3 the rest of pi/2 to double
// precision.
//
// Error bound, measured against long-double sinl/cosl (test_sin_cos_accuracy
// in the unit tests; 2e6 phases per band): at most 1 ulp on [-pi/4, pi/4],
// where only the polynomials err; at most 2 ulps for |phi| up to 1e12, the
// second ulp coming from the rounding of the reduced argument; beyond that
// the three-part pi/2 no longer carries enough bits (thousands of ulps at
// 1e15), and once the quadrant count passes 2^52 the phase itself no longer
// resolves a quadrant.
#pragma once

#include <bit>      // for bit_cast
#include <cstdint>  // for uint64_t

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
// Below this quadrant count y + 2^52 holds n in its low bits.
inline constexpr double exact_quadrant = 4503599627370496.0;  // 2^52
// Above this quadrant count the reduction has lost every bit of the phase.
inline constexpr double overflow_quadrant = 36028797018963968.0;  // 2^55
// From here on n saturates at 2^63 - 1.
inline constexpr double saturated_quadrant = 9223372036854775808.0;  // 2^63
}  // namespace sin_cos_constants

namespace sin_cos_steps {

consteval double constant(uint64_t bits) { return std::bit_cast<double>(bits); }

template <class L>
struct Reduced {
  typename L::Vec magnitude;  // |phi|
  typename L::Vec quadrant;   // y: |phi| * 2/pi rounded to the nearest whole number, ties to even
  typename L::Vec r;          // |phi| - y pi/2, in [-pi/4, pi/4] while the reduction holds
};

template <class L>
[[gnu::always_inline]] inline Reduced<L> reduce(typename L::Vec phi) {
  namespace k = sin_cos_constants;
  using V = typename L::Vec;
  const V a = L::abs(phi);
  const V y = L::round_to_even(L::mul(a, L::splat(constant(k::two_over_pi))));
  V r = L::fma(y, L::splat(constant(k::minus_p1)), a);
  r = L::fma(y, L::splat(constant(k::minus_p2)), r);
  r = L::fma(y, L::splat(constant(k::minus_p3)), r);
  return {a, y, r};
}

template <class L>
struct Powers {
  typename L::Vec r, r2, r3, r4, r8;
};

template <class L>
[[gnu::always_inline]] inline Powers<L> powers(typename L::Vec r) {
  const auto r2 = L::mul(r, r);
  const auto r4 = L::mul(r2, r2);
  return {r, r2, L::mul(r, r2), r4, L::mul(r4, r4)};
}

// (K0 + K1 r^2) + r^4 (K2 + K3 r^2) + r^8 (K4 + K5 r^2), the evaluation order
// both polynomials share; the coefficients are bit patterns.
template <class L, uint64_t K0, uint64_t K1, uint64_t K2, uint64_t K3, uint64_t K4, uint64_t K5>
[[gnu::always_inline]] inline typename L::Vec six_terms(const Powers<L>& x) {
  const auto p = L::fma(x.r8, L::fma(x.r2, L::splat(constant(K5)), L::splat(constant(K4))),
                        L::fma(x.r2, L::splat(constant(K1)), L::splat(constant(K0))));
  return L::fma(x.r4, L::fma(x.r2, L::splat(constant(K3)), L::splat(constant(K2))), p);
}

// r + r^3 ((S0 + S1 r^2) + r^4 (S2 + S3 r^2) + r^8 (S4 + S5 r^2)).
template <class L>
[[gnu::always_inline]] inline typename L::Vec sine_polynomial(const Powers<L>& x) {
  namespace k = sin_cos_constants;
  return L::fma(x.r3, six_terms<L, k::s0, k::s1, k::s2, k::s3, k::s4, k::s5>(x), x.r);
}

// (1 - r^2/2) + r^4 ((C0 + C1 r^2) + r^4 (C2 + C3 r^2) + r^8 (C4 + C5 r^2)).
template <class L>
[[gnu::always_inline]] inline typename L::Vec cosine_polynomial(const Powers<L>& x) {
  namespace k = sin_cos_constants;
  return L::fma(x.r4, six_terms<L, k::c0, k::c1, k::c2, k::c3, k::c4, k::c5>(x),
                L::fma(x.r2, L::splat(-0.5), L::splat(1.0)));
}

template <class L>
struct SinCos {
  typename L::Vec sin;
  typename L::Vec cos;
};

// The swap and the two sign flips, from the quadrant's parity, its bit 1 and
// bit 1 of n + 1.
template <class L>
[[gnu::always_inline]] inline SinCos<L> place_in_quadrant(typename L::Vec phi, typename L::Vec s,
                                                          typename L::Vec c, typename L::Mask odd,
                                                          typename L::Mask bit1,
                                                          typename L::Mask next_bit1) {
  return {L::negate_where(L::differ(bit1, L::sign_of(phi)), L::select(odd, s, c)),
          L::negate_where(next_bit1, L::select(odd, c, s))};
}

// Every lane's quadrant count is below 2^52: y + 2^52 holds n in its low bits.
template <class L>
[[gnu::always_inline]] inline SinCos<L> apply_small_quadrant(typename L::Vec phi,
                                                             const Reduced<L>& reduced,
                                                             typename L::Vec s, typename L::Vec c) {
  namespace k = sin_cos_constants;
  const auto n = L::whole_number_bits(L::add(reduced.quadrant, L::splat(k::exact_quadrant)));
  return place_in_quadrant<L>(phi, s, c, L::template bit<0>(n), L::template bit<1>(n),
                              L::template bit<1>(L::plus_one(n)));
}

// Some lane's quadrant count is 2^52 or more, or NaN. Only n mod 4 and the
// test n > 2^55 matter: y is a whole number, so y - 4 floor(y/4) is n mod 4
// exactly; a saturated n is 3 mod 4; a NaN y fails every comparison, which
// leaves it at n = 0. Bit 1 of n + 1 is bit 1 of (n mod 4) + 1, the wrap of
// the saturated 2^63 - 1 included. Kept out of line: the structure-factor
// loops stay small, and only huge or NaN phases come here.
template <class L>
[[gnu::noinline]] SinCos<L> apply_large_quadrant(typename L::Vec phi, typename L::Vec magnitude,
                                                 typename L::Vec y, typename L::Vec s,
                                                 typename L::Vec c) {
  namespace k = sin_cos_constants;
  using V = typename L::Vec;
  V n_mod_4 = L::sub(y, L::mul(L::floor(L::mul(y, L::splat(0.25))), L::splat(4.0)));
  n_mod_4 = L::select(L::greater_equal(y, L::splat(k::saturated_quadrant)), n_mod_4, L::splat(3.0));
  const auto is_1 = L::equal(n_mod_4, L::splat(1.0));
  const auto odd = L::either(is_1, L::equal(n_mod_4, L::splat(3.0)));
  const auto bit1 = L::greater_equal(n_mod_4, L::splat(2.0));
  const auto next_bit1 = L::either(is_1, L::equal(n_mod_4, L::splat(2.0)));

  const auto overflow = L::both(L::greater(y, L::splat(k::overflow_quadrant)),
                                L::less(magnitude, L::splat(__builtin_inf())));
  s = L::select(overflow, s, L::splat(0.0));
  c = L::select(overflow, c, L::splat(1.0));
  return place_in_quadrant<L>(phi, s, c, odd, bit1, next_bit1);
}

}  // namespace sin_cos_steps

// (sin phi, cos phi) lane by lane.
template <class L>
[[gnu::always_inline]] inline sin_cos_steps::SinCos<L> sin_cos(typename L::Vec phi) {
  namespace steps = sin_cos_steps;
  const steps::Reduced<L> reduced = steps::reduce<L>(phi);
  const steps::Powers<L> x = steps::powers<L>(reduced.r);
  const auto s = steps::sine_polynomial<L>(x);
  const auto c = steps::cosine_polynomial<L>(x);
  if (L::all(L::less(reduced.quadrant, L::splat(sin_cos_constants::exact_quadrant)))) {
    return steps::apply_small_quadrant<L>(phi, reduced, s, c);
  }
  // By value, so that the loops never store the reduction to memory.
  return steps::apply_large_quadrant<L>(phi, reduced.magnitude, reduced.quadrant, s, c);
}

}  // namespace peakforge
