// Matching vector-call arguments to a function's parameters. Every parameter
// is required and may be given by position or by keyword.
#pragma once

#include <cstddef>
#include <span>

#include "module/python.hpp"

namespace peakforge::py {

// Fills slots[0..parameters.size()) with borrowed references, or sets a
// TypeError naming `function` (without "()") and throws ErrorSet.
void match_arguments(const char* function, std::span<const char* const> parameters,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

}  // namespace peakforge::py
