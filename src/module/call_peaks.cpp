#include <utility>  // for move

#include "module/calls.hpp"
#include "module/result.hpp"
#include "peaks/merge_peaks.hpp"
#include "peaks/normalize.hpp"

namespace peakforge::py {
namespace {

constexpr Signature merge_peaks_signature{
    "merge_peaks",
    Parameter{"two_thetas", to_float_vector},
    Parameter{"intensities", to_float_vector},
    Parameter{"hkls", to_nested_int32_vector},
    Parameter{"d_hkls", to_float_vector},
    Parameter{"tolerance", to_double},
};

PyObject* merge_peaks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [two_thetas, intensities, hkls, d_hkls, tolerance] =
      convert_arguments(merge_peaks_signature, args, nargs, kwnames);

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

constexpr Signature normalize_intensities_signature{
    "normalize_intensities",
    Parameter{"intensities", to_float_vector},
    Parameter{"max_value", to_double},
};

PyObject* normalize_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [intensities, max_value] =
      convert_arguments(normalize_intensities_signature, args, nargs, kwnames);

  return new_float_list(peakforge::normalize_intensities(std::move(intensities), max_value))
      .release();
}

}  // namespace

constinit const FunctionRow merge_peaks_function =
    function_row<merge_peaks_signature, merge_peaks>();
constinit const FunctionRow normalize_intensities_function =
    function_row<normalize_intensities_signature, normalize_intensities>();

}  // namespace peakforge::py
