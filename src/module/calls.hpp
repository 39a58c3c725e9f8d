// The bodies of the five functions: each matches its arguments, converts
// them, runs its computation and builds the result.
#pragma once
#include "module/python.hpp"

namespace peakforge::py {

using Body = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* get_unique_families_rust(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* generate_hkl_points(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* calculate_xrd_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* merge_peaks(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* normalize_intensities(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace peakforge::py
