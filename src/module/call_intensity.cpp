#include "module/calls.hpp"

#include "module/convert.hpp"
#include "module/matching.hpp"
#include "module/result.hpp"
#include "intensity/compute_intensities.hpp"

namespace peakforge::py {

PyObject* calculate_xrd_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const parameters[] = {
      "hkls",           "g_hkls",         "wavelength",        "frac_coords_x", "frac_coords_y",
      "frac_coords_z",  "atomic_numbers", "scattering_coeffs", "occupancies",   "dw_factors",
      "parallel",       "num_threads",    "use_simd"};
  PyObject* slot[std::size(parameters)];
  match_arguments({"calculate_xrd_intensities", parameters}, args, nargs, kwnames, slot);

  IntensityInputs in;
  in.hkls = argument("hkls", slot[0], to_nested_float_vector);
  in.g_hkls = argument("g_hkls", slot[1], to_float_vector);
  in.wavelength = argument("wavelength", slot[2], to_double);
  in.frac_coords_x = argument("frac_coords_x", slot[3], to_float_vector);
  in.frac_coords_y = argument("frac_coords_y", slot[4], to_float_vector);
  in.frac_coords_z = argument("frac_coords_z", slot[5], to_float_vector);
  in.atomic_numbers = argument("atomic_numbers", slot[6], to_int32_vector);
  in.scattering_coeffs = argument("scattering_coeffs", slot[7], to_doubly_nested_float_vector);
  in.occupancies = argument("occupancies", slot[8], to_float_vector);
  in.dw_factors = argument("dw_factors", slot[9], to_float_vector);
  in.parallel = argument("parallel", slot[10], to_bool);
  in.num_threads = argument("num_threads", slot[11], to_count);
  in.use_simd = argument("use_simd", slot[12], to_bool);

  const auto pairs = compute_intensities(in);
  return new_list(pairs, [](const std::pair<double, double>& pair) {
           return new_tuple(new_float(pair.first), new_float(pair.second));
         }).release();
}

}  // namespace peakforge::py
