// The five functions as the module's function table lists them. Each call_*
// file declares a function's signature once, next to the body that converts
// its arguments, runs the computation and builds the result.
#pragma once

#include "module/exceptions.hpp"
#include "module/signature.hpp"

namespace peakforge::py {

using Body = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct FunctionRow {
  const char* name;
  _PyCFunctionFastWithKeywords entry;
  const char* doc;
};

// Each entry only hands its body to the common entry wrapper.
template <Body body>
PyObject* entry(PyObject* Py_UNUSED(module), PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  return guarded([&] { return body(args, nargs, kwnames); });
}

template <const auto& signature, Body body>
constexpr FunctionRow function_row() {
  return {signature.name, entry<body>, signature_doc<signature>.data()};
}

extern const FunctionRow get_unique_families_rust_function;
extern const FunctionRow generate_hkl_points_function;
extern const FunctionRow calculate_xrd_intensities_function;
extern const FunctionRow merge_peaks_function;
extern const FunctionRow normalize_intensities_function;

}  // namespace peakforge::py
