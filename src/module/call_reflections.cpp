#include <utility>  // for move

#include "module/calls.hpp"
#include "module/result.hpp"
#include "reflections/families.hpp"
#include "reflections/hkl_points.hpp"

namespace peakforge::py {
namespace {

// A tuple of Python ints, one per component.
Ref new_int_tuple(const std::vector<int32_t>& values) {
  Ref tuple = created(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
  for (size_t i = 0; i < values.size(); ++i) {
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), new_int(values[i]).release());
  }
  return tuple;
}

constexpr Signature get_unique_families_rust_signature{
    "get_unique_families_rust",
    Parameter{"hkls", to_nested_int32_vector},
};

PyObject* get_unique_families_rust(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [hkls] = convert_arguments(get_unique_families_rust_signature, args, nargs, kwnames);

  const auto families = unique_families(hkls);
  Ref result = created(PyDict_New());
  for (const IndexFamily& family : families) {
    Ref key = new_int_tuple(family.representative);
    Ref count = new_count(family.count);
    // Hashing a tuple of ints cannot fail, but the store can (out of memory).
    if (PyDict_SetItem(result.get(), key.get(), count.get()) < 0) throw_pending();
  }
  return result.release();
}

constexpr Signature generate_hkl_points_signature{
    "generate_hkl_points",
    Parameter{"recip_matrix", to_nested_float_vector},
    Parameter{"max_r", to_double},
    Parameter{"min_r", to_double},
};

PyObject* generate_hkl_points(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const auto [recip_matrix, max_r, min_r] =
      convert_arguments(generate_hkl_points_signature, args, nargs, kwnames);

  std::vector<HklPoint> points;
  try {
    points = peakforge::generate_hkl_points(recip_matrix, max_r, min_r);
  } catch (const IndexBoxTooLarge& refused) {
    throw_error(PyExc_ValueError, refused.message.c_str());
  }
  return new_list(points,
                  [](const HklPoint& p) {
                    Ref hkl = created(PyList_New(3));
                    PyList_SET_ITEM(hkl.get(), 0, new_float(p.h).release());
                    PyList_SET_ITEM(hkl.get(), 1, new_float(p.k).release());
                    PyList_SET_ITEM(hkl.get(), 2, new_float(p.l).release());
                    return new_tuple(std::move(hkl), new_float(p.g));
                  })
      .release();
}

}  // namespace

constinit const FunctionRow get_unique_families_rust_function =
    function_row<get_unique_families_rust_signature, get_unique_families_rust>();
constinit const FunctionRow generate_hkl_points_function =
    function_row<generate_hkl_points_signature, generate_hkl_points>();

}  // namespace peakforge::py
