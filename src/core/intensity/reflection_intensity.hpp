// Powder diffraction intensity of one reflection:
//   I = LP(theta) * |sum_j f_j occ_j exp(-B_j s^2) exp(2 pi i (h x_j + k y_j + l z_j))|^2
// with the Mott-Bethe form factor f_j = Z_j - 8 pi^2 a0 s^2 sum_k a_jk exp(-b_jk s^2),
// sin(theta) = lambda g / 2 and s = g / 2. Lengths in angstrom.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <utility>  // for pair
#include <vector>

#include "intensity/factor_tables.hpp"
#include "intensity/structure_factor.hpp"

namespace peakforge {

// The converted per-atom and per-reflection data of one call. Read-only while
// reflections are computed, so any number of threads may share it. Atomic
// numbers, coefficient lists and B values enter only through factor_tables,
// which points into the coefficient lists: they must outlive the context.
struct IntensityContext {
  IntensityContext(const Vector& g, const std::vector<int32_t>& atomic_numbers,
                   const std::vector<std::vector<Vector>>& scattering_coeffs,
                   const Vector& dw_factors, const Vector& x, const Vector& y, const Vector& z,
                   const Vector& occ, double lambda, bool simd);

  const Vector& g_hkls;
  const Vector& frac_coords_x;
  const Vector& frac_coords_y;
  const Vector& frac_coords_z;
  const Vector& occupancies;
  double wavelength;
  bool use_simd;
  FactorTables factor_tables;
};

// Working space of reflection_intensity, reused from one reflection to the
// next on the same thread so that the walk does not allocate per reflection.
struct IntensityScratch {
  Vector form_factors;
  Vector debye_waller;
  Vector species_f;
  Vector distinct_d;
};

// (2 theta in degrees, intensity) of reflection i with index vector hkl.
std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               const Vector& hkl, IntensityScratch& scratch);

}  // namespace peakforge
