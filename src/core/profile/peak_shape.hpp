// The unit pseudo-Voigt of FWHM 1 as the binned profile integrates it: the
// cumulative areas of its Gaussian and Lorentzian parts and their densities,
// at u FWHM from the centre, written once over the lane operations.
//
// The Gaussian part's cumulative area uses a Chebyshev fit of erfc (fractional
// accuracy 1.2e-7), divided by its own value at 0 so that erf(0) = 0 exactly
// and the function is odd. Its density given here is the derivative of that
// fit, not the exact Gaussian, so that analytic derivatives of a binned
// profile agree with its differences.
#pragma once

#include <cmath>  // for exp, sqrt

#include "profile/lane_math.hpp"

namespace peakforge::profile {

inline constexpr double pi = 3.141592653589793;
// 2 √ln2: u in FWHM to the erf argument of the Gaussian part.
inline constexpr double gauss_scale = 1.6651092223153954;
// Beyond this the fit's exponential underflows to exactly 0 (its exponent
// lies below −746): value and slope are 0.
inline constexpr double erfc_fit_zero_beyond = 27.35;

inline constexpr double erfc_fit_coefficients[10] = {
    0.17087277,  -0.82215223, 1.48851587, -1.13520398, 0.27886807,
    -0.18628806, 0.09678418,  0.37409196, 1.00002368,  -1.26551223};

// The fit's value at 0, which every erf value is divided by: t = 1, exp(P(1)).
inline double erfc_fit_at_zero() {
  static const double value = [] {
    double poly = erfc_fit_coefficients[0];
    for (int i = 1; i < 10; ++i) poly = poly + erfc_fit_coefficients[i];
    return lane_exp<ScalarLane>(poly);
  }();
  return value;
}

template <class L>
struct CumulativeParts {
  typename L::Vec gauss, lorentz;                  // cumulative areas of the two unit parts
  typename L::Vec gauss_density, lorentz_density;  // their derivatives in u (with `densities`)
};

template <class L, bool densities>
[[gnu::always_inline]] inline CumulativeParts<L> cumulative_parts(typename L::Vec u,
                                                                  double erfc_at_zero) {
  using V = typename L::Vec;
  const V one = L::splat(1.0);
  const V x = L::mul(L::splat(gauss_scale), u);
  const V z = L::abs(x);
  const typename L::Mask far = L::greater(z, L::splat(erfc_fit_zero_beyond));
  V erfc = L::splat(0.0), d_erfc = L::splat(0.0);
  // In the tails every lane's fit is exactly 0: the exponential is skipped.
  if (!L::all(far)) {
    const V t = L::div(one, L::add(L::mul(L::splat(0.5), z), one));
    V poly = L::splat(erfc_fit_coefficients[0]),
      slope = L::splat(0.0);  // P(t) and P'(t), by Horner together
    for (int i = 1; i < 10; ++i) {
      if constexpr (densities) slope = L::add(L::mul(slope, t), poly);
      poly = L::add(L::mul(poly, t), L::splat(erfc_fit_coefficients[i]));
    }
    const V e = lane_exp<L>(L::sub(poly, L::mul(z, z)));
    erfc = L::select(far, L::mul(e, t), L::splat(0.0));
    if constexpr (densities) {
      const V dt_dz = L::mul(L::splat(-0.5), L::mul(t, t));
      d_erfc = L::select(
          far, L::mul(e, L::add(dt_dz, L::mul(t, L::sub(L::mul(slope, dt_dz), L::add(z, z))))),
          L::splat(0.0));
    }
  }
  // Products by reciprocals rather than divisions: a few units in the last place, far cheaper.
  const V per_zero = L::splat(1.0 / erfc_at_zero);
  const V erf = L::copy_sign(L::sub(one, L::mul(erfc, per_zero)), x);
  const V two_u = L::mul(L::splat(2.0), u);
  CumulativeParts<L> out;
  out.gauss = L::mul(L::splat(0.5), L::add(erf, one));
  out.lorentz = L::add(L::mul(lane_atan<L>(two_u), L::splat(1.0 / pi)), L::splat(0.5));
  if constexpr (densities) {
    out.gauss_density = L::mul(L::mul(L::splat(-0.5 * gauss_scale), d_erfc), per_zero);
    out.lorentz_density = L::div(L::splat(2.0 / pi), L::add(L::mul(two_u, two_u), one));
  }
  return out;
}

// Densities of the exact unit Gaussian and Lorentzian at u (for the value at
// the window's edge, which the cut profile subtracts).
inline double gauss_density(double u) {
  const double x = gauss_scale * u;
  return gauss_scale / std::sqrt(pi) * std::exp(-(x * x));
}
inline double lorentz_density(double u) { return (2.0 / pi) / (4.0 * u * u + 1.0); }

}  // namespace peakforge::profile
