// Per-reflection intensity, in exactly the rounding order of the reference
// formula: every product and sum is its own IEEE operation (the build forbids
// contraction into fused multiply-adds).
#include "intensity/reflection_intensity.hpp"

#include <bit>    // for bit_cast
#include <cmath>  // for asin

#include "base/panic.hpp"
#include "intensity/compute_intensities.hpp"
#include "intensity/lorentz_polarisation.hpp"
#include "intensity/structure_factor_simd.hpp"

namespace peakforge {
namespace {

constexpr double degrees_per_radian = 57.29577951308232;
// 8 pi^2 a0 with the Bohr radius a0 = 0.529177 angstrom: the Mott-Bethe
// constant that turns an electron scattering factor into an X-ray one.
constexpr double mott_bethe_constant = 41.78214;

StructureFactorSum sum_for(bool use_simd) {
  if (!use_simd) return StructureFactorSum::scalar;
  return chosen_simd_width() == SimdWidth::eight_lanes ? StructureFactorSum::eight_lanes
                                                       : StructureFactorSum::four_lanes;
}

// Everything that depends on g alone, in the reference order: theta, the
// Lorentz-polarisation factor, then the form factors (which may fail), the
// Debye-Waller factors and the atoms' weights.
void compute_factors_at(const IntensityContext& context, double g, double sin_theta,
                        FactorsAtG& factors) {
  factors.g_bits.reset();  // until every value below belongs to this g
  const double theta = std::asin(sin_theta);
  const double s = g * 0.5;  // sin(theta) / lambda
  const double s_squared = s * s;
  // Mott-Bethe: f = Z - 8 pi^2 a0 s^2 sum_k a_k exp(-b_k s^2), the electron
  // scattering factor sum_k a_k exp(-b_k s^2) turned into an X-ray one.
  const double mott_bethe_term = s_squared * mott_bethe_constant;
  species_form_factors(context.factor_tables, s_squared, mott_bethe_term,
                       factors.species_form_factor);
  distinct_debye_waller(context.factor_tables, s_squared, factors.distinct_debye_waller);
  atom_weights(context.atoms, factors.species_form_factor, factors.distinct_debye_waller,
               factors.weights);

  // Lorentz-polarisation of an unpolarised X-ray beam, with sin theta taken
  // from theta again, as the reference does (it may differ from lambda g / 2
  // in the last bit).
  factors.lorentz_polarisation = lorentz_polarisation(theta, true, 0.0);
  factors.two_theta_degrees = (theta + theta) * degrees_per_radian;
  factors.g_bits = std::bit_cast<uint64_t>(g);
}

}  // namespace

IntensityContext::IntensityContext(const IntensityInputs& in)
    : g_hkls(in.g_hkls),
      wavelength(in.wavelength),
      sum(sum_for(in.use_simd)),
      factor_tables(build_factor_tables(in.atomic_numbers, in.scattering_coeffs, in.dw_factors)),
      atoms(build_atom_columns(in.frac_coords_x, in.frac_coords_y, in.frac_coords_z, in.occupancies,
                               in.atomic_numbers, in.dw_factors, factor_tables)) {}

IntensityScratch::IntensityScratch(const IntensityContext& context) {
  factors.species_form_factor.resize(context.factor_tables.species.size());
  factors.distinct_debye_waller.resize(context.factor_tables.distinct_b.size());
  if (!context.atoms.short_length) factors.weights.resize(context.atoms.count);
}

std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               IndexVector hkl, IntensityScratch& scratch) {
  const double g = at(context.g_hkls, i);
  if (g == 0.0) return {0.0, 0.0};
  const double sin_theta = (g * context.wavelength) * 0.5;
  if (sin_theta > 1.0) return {0.0, 0.0};

  FactorsAtG& factors = scratch.factors;
  if (factors.g_bits != std::bit_cast<uint64_t>(g))
    compute_factors_at(context, g, sin_theta, factors);

  const double* weights = factors.weights.data();
  StructureFactor f{};
  switch (context.sum) {
    case StructureFactorSum::scalar:
      f = structure_factor(hkl, context.atoms, weights);
      break;
    case StructureFactorSum::four_lanes:
      f = structure_factor_simd(hkl, context.atoms, weights, SimdWidth::four_lanes);
      break;
    case StructureFactorSum::eight_lanes:
      f = structure_factor_simd(hkl, context.atoms, weights, SimdWidth::eight_lanes);
      break;
  }
  const double f_squared = f.re * f.re + f.im * f.im;
  // When both factors are NaN, x86 returns the first operand's NaN, and a
  // factor read from memory can only be the second: held in a register, LP
  // stays first, as it always was, and so does the sign of a NaN intensity.
  double lp = factors.lorentz_polarisation;
  __asm__("" : "+x"(lp));
  return {factors.two_theta_degrees, lp * f_squared};
}

}  // namespace peakforge
