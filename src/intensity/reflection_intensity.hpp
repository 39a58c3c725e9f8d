// Powder diffraction intensity of one reflection:
//   I = LP(theta) * |sum_j f_j occ_j exp(-B_j s^2) exp(2 pi i (h x_j + k y_j + l z_j))|^2
// with the Mott-Bethe form factor f_j = Z_j - 8 pi^2 a0 s^2 sum_k a_jk exp(-b_jk s^2),
// sin(theta) = lambda g / 2 and s = g / 2. Lengths in angstrom.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t, uint64_t
#include <utility>  // for pair
#include <vector>

namespace peakforge {

using Vector = std::vector<double>;

// The converted per-atom and per-reflection data of one call. Read-only while
// reflections are computed, so any number of threads may share it.
struct IntensityContext {
  const Vector& g_hkls;
  const std::vector<int32_t>& atomic_numbers;
  const std::vector<std::vector<Vector>>& scattering_coeffs;
  const Vector& dw_factors;
  const Vector& frac_coords_x;
  const Vector& frac_coords_y;
  const Vector& frac_coords_z;
  const Vector& occupancies;
  double wavelength;
  bool use_simd;
};

// (Im, Re) of the structure factor.
struct StructureFactor {
  double im;
  double re;
};

// Left-to-right sum over atoms 0..n-1 with the C library's sin and cos.
StructureFactor structure_factor(const Vector& hkl, const Vector& x, const Vector& y,
                                 const Vector& z, const Vector& f, const Vector& occ,
                                 const Vector& dw, size_t n);

// (2 theta in degrees, intensity) of reflection i with index vector hkl.
std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               const Vector& hkl);

}  // namespace peakforge
