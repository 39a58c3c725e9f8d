// Conversion of argument objects into plain values. Each rule either returns
// the value or sets a Python exception and throws ErrorSet; argument() adds
// the parameter name to TypeErrors.
#pragma once

#include <algorithm>  // for min
#include <cstdint>
#include <vector>

#include "base/rows.hpp"
#include "intensity/factor_tables.hpp"
#include "module/exceptions.hpp"

namespace peakforge::py {

// An exact int of one digit (below 2**30 in magnitude), whose value the
// interpreter's own conversions read the same way.
inline bool is_compact_int(PyObject* object) {
  return PyLong_CheckExact(object) &&
         PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object));
}
inline Py_ssize_t compact_int_value(PyObject* object) {
  return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object));
}

// The float rule for anything but an exact float or a compact int.
double to_double_by_conversion(PyObject* object);

// Float rule: an exact float or a compact int is read directly, without a
// call.
inline double to_double(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  if (is_compact_int(object)) return static_cast<double>(compact_int_value(object));
  return to_double_by_conversion(object);
}

// TypeError "'<qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_cannot_convert(PyObject* object, const char* target);

// The 32-bit integer rule for anything but a compact int.
int32_t to_int32_by_conversion(PyObject* object);

// 32-bit integer rule: anything with __index__, within the signed 32-bit
// range; a compact int always is, and is read directly.
inline int32_t to_int32(PyObject* object) {
  if (is_compact_int(object)) return static_cast<int32_t>(compact_int_value(object));
  return to_int32_by_conversion(object);
}

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

// True for the items whose conversion by any element rule runs no Python
// code, so that the list holding them cannot change meanwhile.
inline bool converts_without_python_code(PyObject* item) {
  return PyFloat_CheckExact(item) || PyLong_CheckExact(item);
}

// Calls visit(item) for the items of an exact list from index `first` on.
// The length is re-read at every step exactly as the list's iterator would,
// and an item that may run Python code is held while it is visited, so that
// a conversion that changes the list sees the same items as plain iteration.
template <class Visit>
void walk_list(PyObject* list, Py_ssize_t first, Visit visit) {
  for (Py_ssize_t i = first; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (converts_without_python_code(item)) {
      visit(item);
    } else {
      const Ref held = Ref::borrow(item);  // survives removal from the list
      visit(item);
    }
  }
}

// The same for an exact tuple, whose items cannot change.
template <class Visit>
void walk_tuple(PyObject* tuple, Py_ssize_t first, Visit visit) {
  const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = first; i < size; ++i) visit(PyTuple_GET_ITEM(tuple, i));
}

// The walk of every sequence kind: checks that `object` is a sequence, calls
// reserve(capacity) once and then visit(item) for every item, in iteration
// order. Exact lists and tuples are walked by index, anything else by its
// iterator.
template <class Reserve, class Visit>
void for_each_item(PyObject* object, Reserve reserve, Visit visit) {
  if (PyList_CheckExact(object)) {
    reserve(static_cast<size_t>(PyList_GET_SIZE(object)));
    walk_list(object, 0, visit);
    return;
  }
  if (PyTuple_CheckExact(object)) {
    reserve(static_cast<size_t>(PyTuple_GET_SIZE(object)));
    walk_tuple(object, 0, visit);
    return;
  }
  check_sequence(object);
  Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  reserve(initial_capacity(hint));
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) throw_pending();
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    const Ref item(raw);
    visit(item.get());
  }
  if (PyErr_Occurred()) throw_pending();
}

// Sequence kinds: every item of `object`, in iteration order, converted by
// `element`.
template <class Element>
auto to_vector(PyObject* object, Element element) {
  std::vector<decltype(element(object))> values;
  for_each_item(
      object, [&](size_t capacity) { values.reserve(capacity); },
      [&](PyObject* item) { values.push_back(element(item)); });
  return values;
}

// Appends to `values` the items of a one-dimensional NumPy array of native
// float64 read through the buffer protocol and returns true; returns false,
// having read nothing, for any other object. Iterating such an array yields
// float64 scalars, a float subclass holding the same bits, so the values are
// exactly those that iteration gives. Only the exact ndarray type qualifies,
// since a subclass may change what iteration yields.
bool read_float64_array(PyObject* object, std::vector<double>& values);

// Room for `more` values in `values`, keeping its geometric growth when it
// is filled a row at a time.
inline void make_room(std::vector<double>& values, size_t more) {
  if (values.capacity() - values.size() < more) {
    values.reserve(std::max(2 * values.capacity(), values.size() + more));
  }
}

// Appends the items of a sequence of floats to `values`; reserve(capacity)
// is called before items taken from an iterator are appended.
template <class Reserve>
void append_floats(PyObject* object, std::vector<double>& values, Reserve reserve) {
  const auto append = [&](PyObject* item) { values.push_back(to_double(item)); };
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // While the items are exact floats and ints no Python code runs, so a
    // list cannot change: they are read straight from its item array.
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    PyObject* const* items = PySequence_Fast_ITEMS(object);
    make_room(values, static_cast<size_t>(size));
    Py_ssize_t i = 0;
    for (; i < size && converts_without_python_code(items[i]); ++i) {
      values.push_back(to_double(items[i]));
    }
    if (i == size) return;
    if (PyList_CheckExact(object)) {
      walk_list(object, i, append);
    } else {
      walk_tuple(object, i, append);
    }
    return;
  }
  if (read_float64_array(object, values)) return;
  for_each_item(object, reserve, append);
}

inline std::vector<double> to_float_vector(PyObject* object) {
  std::vector<double> values;
  append_floats(object, values, [&](size_t capacity) { values.reserve(capacity); });
  return values;
}
inline std::vector<std::vector<double>> to_nested_float_vector(PyObject* object) {
  return to_vector(object, to_float_vector);
}
// For the rows of a nested kind: the block of values grows as vectors do.
inline constexpr auto no_reserve = [](size_t) {};

// The nested sequence of floats as rows in one block: no allocation per row.
inline Rows<double> to_float_rows(PyObject* object) {
  Rows<double> rows;
  for_each_item(
      object,
      [&](size_t capacity) { rows.reserve(capacity, 3 * capacity); },  // rows of three, mostly
      [&](PyObject* row) {
        append_floats(row, rows.values(), no_reserve);
        rows.end_row();
      });
  return rows;
}
// The doubly nested sequence of floats of the atoms' coefficient pairs, in
// one block as well.
inline CoefficientLists to_coefficient_lists(PyObject* object) {
  CoefficientLists lists;
  for_each_item(
      object, [&](size_t capacity) { lists.pair_starts.reserve(capacity + 1); },
      [&](PyObject* atom) {
        for_each_item(atom, no_reserve, [&](PyObject* pair) {
          append_floats(pair, lists.pairs.values(), no_reserve);
          lists.pairs.end_row();
        });
        lists.end_atom();
      });
  return lists;
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
