#include <utility>  // for move

#include "intensity/compute_intensities.hpp"
#include "module/calls.hpp"
#include "module/result.hpp"

namespace peakforge::py {
namespace {

constexpr Signature calculate_xrd_intensities_signature{
    "calculate_xrd_intensities",
    Parameter{"hkls", to_float_rows},
    Parameter{"g_hkls", to_float_vector},
    Parameter{"wavelength", to_double},
    Parameter{"frac_coords_x", to_float_vector},
    Parameter{"frac_coords_y", to_float_vector},
    Parameter{"frac_coords_z", to_float_vector},
    Parameter{"atomic_numbers", to_int32_vector},
    Parameter{"scattering_coeffs", to_coefficient_lists},
    Parameter{"occupancies", to_float_vector},
    Parameter{"dw_factors", to_float_vector},
    Parameter{"parallel", to_bool},
    Parameter{"num_threads", to_count},
    Parameter{"use_simd", to_bool},
};

PyObject* calculate_xrd_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [hkls, g_hkls, wavelength, frac_coords_x, frac_coords_y, frac_coords_z, atomic_numbers,
        scattering_coeffs, occupancies, dw_factors, parallel, num_threads, use_simd] =
      convert_arguments(calculate_xrd_intensities_signature, args, nargs, kwnames);

  const IntensityInputs in{
      .hkls = std::move(hkls),
      .g_hkls = std::move(g_hkls),
      .wavelength = wavelength,
      .frac_coords_x = std::move(frac_coords_x),
      .frac_coords_y = std::move(frac_coords_y),
      .frac_coords_z = std::move(frac_coords_z),
      .atomic_numbers = std::move(atomic_numbers),
      .scattering_coeffs = std::move(scattering_coeffs),
      .occupancies = std::move(occupancies),
      .dw_factors = std::move(dw_factors),
      .parallel = parallel,
      .num_threads = num_threads,
      .use_simd = use_simd,
  };
  const auto pairs = compute_intensities(in);
  return new_list(pairs, new_float_pair).release();
}

}  // namespace

constinit const FunctionRow calculate_xrd_intensities_function =
    function_row<calculate_xrd_intensities_signature, calculate_xrd_intensities>();

}  // namespace peakforge::py
