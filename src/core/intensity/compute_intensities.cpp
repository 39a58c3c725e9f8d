#include "intensity/compute_intensities.hpp"

#include "intensity/call_pool.hpp"
#include "intensity/worker_count.hpp"

namespace peakforge {

std::vector<std::pair<double, double>> compute_intensities(const IntensityInputs& in) {
  const IntensityContext context(in.g_hkls, in.atomic_numbers, in.scattering_coeffs,
                                 in.dw_factors, in.frac_coords_x, in.frac_coords_y,
                                 in.frac_coords_z, in.occupancies, in.wavelength, in.use_simd);
  const size_t n = in.hkls.size();
  std::vector<std::pair<double, double>> result(n);
  if (!in.parallel) {
    IntensityScratch scratch;
    for (size_t i = 0; i < n; ++i) result[i] = reflection_intensity(context, i, in.hkls[i], scratch);
    return result;
  }
  // Every reflection is computed by the same function from the same
  // read-only data, so the bits do not depend on which worker takes it.
  CallPool pool(worker_count(in.num_threads));
  parallel_for_each_index<IntensityScratch>(pool, n, [&](IntensityScratch& scratch, size_t i) {
    result[i] = reflection_intensity(context, i, in.hkls[i], scratch);
  });
  return result;
}

}  // namespace peakforge
