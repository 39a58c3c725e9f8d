// Per-reflection intensity, in exactly the rounding order of the reference
// formula: every product and sum is its own IEEE operation (the build forbids
// contraction into fused multiply-adds).
#include "intensity/reflection_intensity.hpp"

#include <cmath>  // for asin, sin, cos, exp

#include "boundary/panic.hpp"

namespace peakforge {
namespace {

constexpr double two_pi = 6.283185307179586;
constexpr double degrees_per_radian = 57.29577951308232;
// 8 pi^2 a0 with a0 = 0.529177 angstrom: the Mott-Bethe prefactor.
constexpr double mott_bethe = 41.78214;

}  // namespace

StructureFactor structure_factor(const Vector& hkl, const Vector& x, const Vector& y,
                                 const Vector& z, const Vector& f, const Vector& occ,
                                 const Vector& dw, size_t n) {
  if (n == 0) return {0.0, 0.0};
  const double h = at(hkl, 0), k = at(hkl, 1), l = at(hkl, 2);
  double im = 0.0, re = 0.0;
  for (size_t j = 0; j < n; ++j) {
    const double phase = two_pi * ((h * x[j] + k * at(y, j)) + l * at(z, j));
    const double weight = (at(f, j) * at(occ, j)) * at(dw, j);
    im = im + weight * std::sin(phase);
    re = re + weight * std::cos(phase);
  }
  return {im, re};
}

std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               const Vector& hkl) {
  const double g = at(context.g_hkls, i);
  if (g == 0.0) return {0.0, 0.0};
  const double sin_theta = (g * context.wavelength) * 0.5;
  if (sin_theta > 1.0) return {0.0, 0.0};
  const double theta = std::asin(sin_theta);
  const double t = g * 0.5;
  const double s2 = t * t;
  const double k = s2 * mott_bethe;

  const size_t atom_types = context.atomic_numbers.size();
  Vector form_factors(atom_types);
  for (size_t j = 0; j < atom_types; ++j) {
    const std::vector<Vector>& pairs = at(context.scattering_coeffs, j);
    double sum = 0.0;
    for (const Vector& pair : pairs) {
      const double a = at(pair, 0);
      const double b = at(pair, 1);
      sum = sum + std::exp(s2 * -b) * a;
    }
    form_factors[j] = static_cast<double>(context.atomic_numbers[j]) - k * sum;
  }
  Vector debye_waller(context.dw_factors.size());
  for (size_t j = 0; j < debye_waller.size(); ++j) {
    debye_waller[j] = std::exp(s2 * -context.dw_factors[j]);
  }

  const StructureFactor sf = structure_factor(hkl, context.frac_coords_x, context.frac_coords_y,
                                              context.frac_coords_z, form_factors,
                                              context.occupancies, debye_waller,
                                              context.frac_coords_x.size());
  const double f_squared = sf.re * sf.re + sf.im * sf.im;
  const double two_theta = theta + theta;
  const double c = std::cos(two_theta);
  const double s1 = std::sin(theta);
  const double lp = (c * c + 1.0) / ((s1 * s1) * std::cos(theta));
  return {two_theta * degrees_per_radian, lp * f_squared};
}

}  // namespace peakforge
