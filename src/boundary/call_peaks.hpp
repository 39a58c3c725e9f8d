#pragma once
#include "boundary/python.hpp"

namespace peakforge::py {
// Bodies of merge_peaks and normalize_intensities: match, convert, compute, build.
PyObject* merge_peaks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* normalize_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
}  // namespace peakforge::py
