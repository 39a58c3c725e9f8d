// The walk over all reflections of one calculate_xrd_intensities call.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "intensity/factor_tables.hpp"
#include "intensity/reflection_intensity.hpp"

namespace peakforge {

struct IntensityInputs {
  IndexVectors hkls;
  Vector g_hkls;
  double wavelength = 0.0;
  Vector frac_coords_x, frac_coords_y, frac_coords_z;
  std::vector<int32_t> atomic_numbers;
  CoefficientLists scattering_coeffs;
  Vector occupancies;
  Vector dw_factors;
  bool parallel = false;
  uint64_t num_threads = 0;
  bool use_simd = false;
};

// (2 theta, intensity) per reflection, in the order of inputs.hkls.
std::vector<std::pair<double, double>> compute_intensities(const IntensityInputs& inputs);

}  // namespace peakforge
