#pragma once
#include "boundary/python.hpp"

namespace peakforge::py {
// Body of calculate_xrd_intensities: match, convert, compute, build.
PyObject* calculate_xrd_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
}  // namespace peakforge::py
