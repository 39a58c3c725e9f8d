// Per-reflection intensity, in exactly the rounding order of the reference
// formula: every product and sum is its own IEEE operation (the build forbids
// contraction into fused multiply-adds).
#include "intensity/reflection_intensity.hpp"

#include <cmath>  // for asin, sin, cos

#include "base/panic.hpp"
#include "intensity/structure_factor_simd.hpp"

namespace peakforge {
namespace {

constexpr double degrees_per_radian = 57.29577951308232;
// 8 pi^2 a0 with a0 = 0.529177 angstrom: the Mott-Bethe prefactor.
constexpr double mott_bethe = 41.78214;

}  // namespace

IntensityContext::IntensityContext(const Vector& g, const std::vector<int32_t>& atomic_numbers,
                                   const std::vector<std::vector<Vector>>& scattering_coeffs,
                                   const Vector& dw_factors, const Vector& x, const Vector& y,
                                   const Vector& z, const Vector& occ, double lambda, bool simd)
    : g_hkls(g),
      frac_coords_x(x),
      frac_coords_y(y),
      frac_coords_z(z),
      occupancies(occ),
      wavelength(lambda),
      use_simd(simd),
      factor_tables(build_factor_tables(atomic_numbers, scattering_coeffs, dw_factors)) {}

std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               const Vector& hkl, IntensityScratch& scratch) {
  const double g = at(context.g_hkls, i);
  if (g == 0.0) return {0.0, 0.0};
  const double sin_theta = (g * context.wavelength) * 0.5;
  if (sin_theta > 1.0) return {0.0, 0.0};
  const double theta = std::asin(sin_theta);
  const double t = g * 0.5;
  const double s2 = t * t;
  const double k = s2 * mott_bethe;

  fill_form_factors(context.factor_tables, s2, k, scratch.species_f, scratch.form_factors);
  fill_debye_waller(context.factor_tables, s2, scratch.distinct_d, scratch.debye_waller);

  const auto sum = context.use_simd ? structure_factor_simd : structure_factor;
  const StructureFactor sf =
      sum(hkl, context.frac_coords_x, context.frac_coords_y, context.frac_coords_z,
          scratch.form_factors, context.occupancies, scratch.debye_waller,
          context.frac_coords_x.size());
  const double f_squared = sf.re * sf.re + sf.im * sf.im;
  const double two_theta = theta + theta;
  const double c = std::cos(two_theta);
  const double s1 = std::sin(theta);
  const double lp = (c * c + 1.0) / ((s1 * s1) * std::cos(theta));
  return {two_theta * degrees_per_radian, lp * f_squared};
}

}  // namespace peakforge
