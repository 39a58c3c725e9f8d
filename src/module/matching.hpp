// Matching vector-call arguments to a function's parameters. Every parameter
// is required and may be given by position or by keyword.
#pragma once

#include <cstddef>
#include <span>

#include "module/python.hpp"

namespace peakforge::py {

struct Signature {
  const char* name;                       // the function's name, without "()"
  std::span<const char* const> parameters;
};

// Fills slots[0..parameters.size()) with borrowed references, or sets a
// TypeError and throws ErrorSet.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

}  // namespace peakforge::py
