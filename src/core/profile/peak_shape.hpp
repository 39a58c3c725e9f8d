// The unit pseudo-Voigt of FWHM 1 as the binned profile integrates it: its
// cumulative area and the derivatives of that area, at u FWHM from the centre
// with Lorentzian fraction η.
//
// The Gaussian part's cumulative area uses a Chebyshev fit of erfc (fractional
// accuracy 1.2e-7), divided by its own value at 0 so that erf(0) = 0 exactly
// and the function is odd. The density given here is the derivative of that
// fit, not the exact Gaussian, so that analytic derivatives of a binned
// profile agree with its differences.
#pragma once

#include <cmath>  // for exp, atan, copysign, fabs, sqrt

namespace peakforge::profile {

inline constexpr double pi = 3.141592653589793;
// 2 √ln2: u in FWHM to the erf argument of the Gaussian part.
inline constexpr double gauss_scale = 1.6651092223153954;

struct ErfcFit {
  double value;  // erfc(z)
  double slope;  // d erfc / dz
};

// The fit at z ≥ 0, with its derivative.
inline ErfcFit erfc_fit(double z) {
  const double t = 1.0 / (0.5 * z + 1.0);
  constexpr double c[10] = {0.17087277, -0.82215223, 1.48851587, -1.13520398, 0.27886807,
                            -0.18628806, 0.09678418,  0.37409196, 1.00002368,  -1.26551223};
  double poly = c[0], slope = 0.0;  // P(t) and P'(t), by Horner together
  for (int i = 1; i < 10; ++i) {
    slope = slope * t + poly;
    poly = poly * t + c[i];
  }
  const double e = std::exp(poly - z * z);
  const double dt_dz = -0.5 * t * t;
  return {e * t, e * (dt_dz + t * (slope * dt_dz - 2.0 * z))};
}

// The fit's value at 0, which every erf value is divided by.
inline double erfc_fit_at_zero() {
  static const double value = erfc_fit(0.0).value;
  return value;
}

struct CumulativeArea {
  double gauss, lorentz;  // cumulative areas of the two unit parts
  double gauss_density, lorentz_density;  // their derivatives in u
};

// Cumulative areas of the unit Gaussian and Lorentzian of FWHM 1 at u, and
// their densities.
inline CumulativeArea cumulative_parts(double u) {
  const double x = gauss_scale * u;
  const ErfcFit fit = erfc_fit(std::fabs(x));
  const double erf = std::copysign(1.0 - fit.value / erfc_fit_at_zero(), x);
  const double two_u = 2.0 * u;
  return {0.5 * (erf + 1.0), std::atan(two_u) / pi + 0.5,
          -0.5 * gauss_scale * fit.slope / erfc_fit_at_zero(), (2.0 / pi) / (two_u * two_u + 1.0)};
}

// Densities of the exact unit Gaussian and Lorentzian at u (for the value at
// the window's edge, which the cut profile subtracts).
inline double gauss_density(double u) {
  const double x = gauss_scale * u;
  return gauss_scale / std::sqrt(pi) * std::exp(-(x * x));
}
inline double lorentz_density(double u) { return (2.0 / pi) / (4.0 * u * u + 1.0); }

}  // namespace peakforge::profile
