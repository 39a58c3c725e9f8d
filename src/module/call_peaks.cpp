#include "module/calls.hpp"

#include <iterator>  // for size
#include <utility>   // for move

#include "module/convert.hpp"
#include "module/matching.hpp"
#include "module/result.hpp"
#include "peaks/merge_peaks.hpp"
#include "peaks/normalize.hpp"

namespace peakforge::py {

PyObject* merge_peaks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const parameters[] = {"two_thetas", "intensities", "hkls", "d_hkls",
                                           "tolerance"};
  PyObject* slot[std::size(parameters)];
  match_arguments({"merge_peaks", parameters}, args, nargs, kwnames, slot);

  auto two_thetas = argument("two_thetas", slot[0], to_float_vector);
  auto intensities = argument("intensities", slot[1], to_float_vector);
  auto hkls = argument("hkls", slot[2], to_nested_int32_vector);
  auto d_hkls = argument("d_hkls", slot[3], to_float_vector);
  const double tolerance = argument("tolerance", slot[4], to_double);

  const MergedPeaks merged =
      peakforge::merge_peaks(two_thetas, intensities, std::move(hkls), d_hkls, tolerance);
  return new_tuple(new_float_list(merged.two_thetas), new_float_list(merged.intensities),
                   new_list(merged.hkls,
                            [](const std::vector<MillerIndex>& members) {
                              return new_list(members, new_int_list);
                            }),
                   new_float_list(merged.d_hkls))
      .release();
}

PyObject* normalize_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const parameters[] = {"intensities", "max_value"};
  PyObject* slot[std::size(parameters)];
  match_arguments({"normalize_intensities", parameters}, args, nargs, kwnames, slot);

  auto intensities = argument("intensities", slot[0], to_float_vector);
  const double max_value = argument("max_value", slot[1], to_double);

  return new_float_list(peakforge::normalize_intensities(std::move(intensities), max_value))
      .release();
}

}  // namespace peakforge::py
