// Building result objects from plain values. A null from the interpreter
// while creating a result object is printed, cleared and turned into the
// internal failure "Python API call failed"; objects built so far are
// released by their Refs.
#pragma once

#include <cstdint>
#include <source_location>
#include <utility>  // for pair
#include <vector>

#include "module/exceptions.hpp"

namespace peakforge::py {

// Returns `object` as a Ref, or fails the call as described above.
Ref created(PyObject* object, std::source_location where = std::source_location::current());

inline Ref new_float(double value) { return created(PyFloat_FromDouble(value)); }
inline Ref new_int(int32_t value) { return created(PyLong_FromLong(value)); }
inline Ref new_count(uint64_t value) { return created(PyLong_FromUnsignedLongLong(value)); }

// A list of exactly values.size() items, item i built by element(values[i]).
template <class Value, class Element>
Ref new_list(const std::vector<Value>& values, Element element) {
  Ref list = created(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), element(values[i]).release());
  }
  return list;
}

inline Ref new_float_list(const std::vector<double>& values) { return new_list(values, new_float); }
inline Ref new_int_list(const std::vector<int32_t>& values) { return new_list(values, new_int); }

// A tuple holding the given items, in order; takes their references.
template <class... Items>
Ref new_tuple(Items&&... items) {
  Ref tuple = created(PyTuple_New(sizeof...(Items)));
  Py_ssize_t i = 0;
  (PyTuple_SET_ITEM(tuple.get(), i++, items.release()), ...);
  return tuple;
}

inline Ref new_float_pair(const std::pair<double, double>& pair) {
  return new_tuple(new_float(pair.first), new_float(pair.second));
}

}  // namespace peakforge::py
