#include "intensity/compute_intensities.hpp"

namespace peakforge {

std::vector<std::pair<double, double>> compute_intensities(const IntensityInputs& in) {
  const IntensityContext context{in.g_hkls,        in.atomic_numbers, in.scattering_coeffs,
                                 in.dw_factors,    in.frac_coords_x,  in.frac_coords_y,
                                 in.frac_coords_z, in.occupancies,    in.wavelength,
                                 in.use_simd};
  std::vector<std::pair<double, double>> result(in.hkls.size());
  for (size_t i = 0; i < in.hkls.size(); ++i) {
    result[i] = reflection_intensity(context, i, in.hkls[i]);
  }
  return result;
}

}  // namespace peakforge
