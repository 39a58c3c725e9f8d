// Reading NumPy arrays handed to the engine: every argument is checked for
// its dtype (TypeError) and shape (ValueError) with a message that names it,
// then copied out element by element through its strides, so any memory
// layout works and nothing refers to Python memory once the lock is released.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <initializer_list>
#include <vector>

namespace peakforge::engine {

namespace nb = nanobind;

// The values of an array, row-major, with its shape.
template <class T>
struct ArrayValues {
  std::vector<T> values;
  std::vector<size_t> shape;
};

// `shape` lists the wanted extent of each axis; -1 takes any extent.
// Float arrays must be float64 (any finite or not: the caller checks), index
// arrays int32.
ArrayValues<double> float_array(nb::handle object, const char* name,
                                std::initializer_list<long> shape);
ArrayValues<int32_t> int_array(nb::handle object, const char* name,
                               std::initializer_list<long> shape);

// ValueError naming the argument unless every value is finite.
void require_finite(const std::vector<double>& values, const char* name);

}  // namespace peakforge::engine
