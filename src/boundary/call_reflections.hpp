#pragma once
#include "boundary/python.hpp"

namespace peakforge::py {
// Body of get_unique_families_rust: match, convert, compute, build.
PyObject* get_unique_families_rust(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Body of generate_hkl_points: match, convert, compute, build.
PyObject* generate_hkl_points(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
}  // namespace peakforge::py
