// Conversion of argument objects into plain values. Each rule either returns
// the value or sets a Python exception and throws ErrorSet; argument() adds
// the parameter name to TypeErrors.
#pragma once

#include <algorithm>  // for min
#include <cstdint>
#include <vector>

#include "module/exceptions.hpp"

namespace peakforge::py {

// Float rule: an exact float is read directly; anything else goes through
// the interpreter's float conversion (int, bool, __float__, __index__).
inline double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) throw_pending();
  return value;
}

// TypeError "'<qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_cannot_convert(PyObject* object, const char* target);

// 32-bit integer rule: anything with __index__, within the signed 32-bit range.
int32_t to_int32(PyObject* object);

// Bool rule: bool, or NumPy's bool scalar.
bool to_bool(PyObject* object);

// Count rule: a non-negative integer below 2**64.
uint64_t to_count(PyObject* object);

// The str and sequence tests shared by every sequence kind.
void check_sequence(PyObject* object);

// How many items to reserve up front for a sequence whose length claims
// `hint`: a lying __len__ must not make us reserve memory that never fills.
inline size_t initial_capacity(Py_ssize_t hint) {
  constexpr Py_ssize_t most = 4096;
  return hint > 0 ? static_cast<size_t>(std::min(hint, most)) : 0;
}

// Sequence kinds: converts every item of `object`, in iteration order, with
// `element`. An exact list or tuple is walked by index, re-reading its length
// at every step exactly as its iterator would, so that an element conversion
// that changes the list sees the same items as plain iteration.
template <class Element>
auto to_vector(PyObject* object, Element element) {
  using Value = decltype(element(object));
  check_sequence(object);
  std::vector<Value> values;
  if (PyList_CheckExact(object)) {
    values.reserve(static_cast<size_t>(PyList_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(object, i));  // survives removal from the list
      values.push_back(element(item.get()));
    }
    return values;
  }
  if (PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(object);
    values.reserve(static_cast<size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) values.push_back(element(PyTuple_GET_ITEM(object, i)));
    return values;
  }
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  values.reserve(initial_capacity(hint));
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) throw_pending();
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    Ref item(raw);
    values.push_back(element(item.get()));
  }
  if (PyErr_Occurred()) throw_pending();
  return values;
}

// Fills `values` from a one-dimensional NumPy array of native float64 read
// through the buffer protocol and returns true; returns false, having read
// nothing, for any other object. Iterating such an array yields float64
// scalars, a float subclass holding the same bits, so the values are exactly
// those that iteration gives. Only the exact ndarray type qualifies, since a
// subclass may change what iteration yields.
bool read_float64_array(PyObject* object, std::vector<double>& values);

inline std::vector<double> to_float_vector(PyObject* object) {
  std::vector<double> values;
  if (read_float64_array(object, values)) return values;
  return to_vector(object, to_double);
}
inline std::vector<std::vector<double>> to_nested_float_vector(PyObject* object) {
  return to_vector(object, to_float_vector);
}
inline std::vector<std::vector<std::vector<double>>> to_doubly_nested_float_vector(
    PyObject* object) {
  return to_vector(object, to_nested_float_vector);
}
inline std::vector<int32_t> to_int32_vector(PyObject* object) {
  return to_vector(object, to_int32);
}
inline std::vector<std::vector<int32_t>> to_nested_int32_vector(PyObject* object) {
  return to_vector(object, to_int32_vector);
}

// Replaces a pending exact TypeError by "argument 'name': <message>" with the
// original's __cause__ and a suppressed context; anything else stays as it is.
void prefix_argument_name(const char* name);

// Converts one argument; a failure names the parameter as described above.
template <class Convert>
auto argument(const char* name, PyObject* object, Convert convert) {
  try {
    return convert(object);
  } catch (const ErrorSet&) {
    prefix_argument_name(name);
    throw;
  }
}

}  // namespace peakforge::py
