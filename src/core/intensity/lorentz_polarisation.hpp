// The Lorentz-polarisation factor of a powder reflection, written once for
// the module's intensities and the pattern engine's peaks.
//
// Lorentz factor 1 / (sin²θ cos θ); for X-rays times the polarisation of an
// unpolarised beam, 1 + cos²2θ, or after a monochromator crystal diffracting
// at 2θ_M, 2 (1 + cos²2θ_M cos²2θ) / (1 + cos²2θ_M). Neutrons are not
// polarised.
#pragma once

#include <cmath>  // for sin, cos

namespace peakforge {

// At Bragg angle `theta` (radians); `monochromator_two_theta` in degrees, 0
// for none. The order of operations is part of the result's bits.
inline double lorentz_polarisation(double theta, bool polarised, double monochromator_two_theta) {
  constexpr double radians_per_degree = 0.017453292519943295;
  const double s = std::sin(theta);
  const double lorentz_denominator = (s * s) * std::cos(theta);
  if (!polarised) return 1.0 / lorentz_denominator;
  const double c = std::cos(theta + theta);
  if (monochromator_two_theta == 0.0) return (c * c + 1.0) / lorentz_denominator;
  const double cm = std::cos(monochromator_two_theta * radians_per_degree);
  const double cm2 = cm * cm;
  return (2.0 * ((cm2 * (c * c) + 1.0) / (cm2 + 1.0))) / lorentz_denominator;
}

}  // namespace peakforge
