#include "array_arguments.hpp"

#include <nanobind/ndarray.h>

#include <cmath>  // for isfinite
#include <string>

namespace peakforge::engine {
namespace {

std::string dtype_name(nb::dlpack::dtype dtype) {
  const char* kind = "unknown";
  switch (static_cast<nb::dlpack::dtype_code>(dtype.code)) {
    case nb::dlpack::dtype_code::Int:
      kind = "int";
      break;
    case nb::dlpack::dtype_code::UInt:
      kind = "uint";
      break;
    case nb::dlpack::dtype_code::Float:
      kind = "float";
      break;
    case nb::dlpack::dtype_code::Complex:
      kind = "complex";
      break;
    case nb::dlpack::dtype_code::Bool:
      return "bool";
    default:
      break;
  }
  return std::string(kind) + std::to_string(dtype.bits);
}

std::string shape_text(const nb::ndarray<nb::ro>& array) {
  std::string text = "(";
  for (size_t i = 0; i < array.ndim(); ++i) {
    if (i) text += ", ";
    text += std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string wanted_text(std::initializer_list<long> shape) {
  std::string text = "(";
  size_t i = 0;
  for (long extent : shape) {
    if (i++) text += ", ";
    text += extent < 0 ? "n" : std::to_string(extent);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

template <class T>
ArrayValues<T> read_array(nb::handle object, const char* name, std::initializer_list<long> shape,
                          const char* wanted_dtype) {
  nb::ndarray<nb::ro> array;
  if (!nb::try_cast(object, array, false)) {
    throw nb::type_error((std::string(name) + " must be a NumPy array of " + wanted_dtype +
                          ", not " + nb::inst_name(object).c_str())
                             .c_str());
  }
  if (array.device_type() != static_cast<int>(nb::device::cpu::value)) {
    throw nb::type_error((std::string(name) + " must be an array in main memory").c_str());
  }
  if (array.dtype() != nb::dtype<T>()) {
    throw nb::type_error((std::string(name) + " must be an array of " + wanted_dtype + ", not " +
                          dtype_name(array.dtype()))
                             .c_str());
  }
  bool fits = array.ndim() == shape.size();
  size_t axis = 0;
  for (long extent : shape) {
    if (fits && extent >= 0 && array.shape(axis) != static_cast<size_t>(extent)) fits = false;
    ++axis;
  }
  if (!fits) {
    throw nb::value_error((std::string(name) + " must have shape " + wanted_text(shape) + ", not " +
                           shape_text(array))
                              .c_str());
  }
  ArrayValues<T> out;
  size_t count = 1;
  for (size_t i = 0; i < array.ndim(); ++i) {
    out.shape.push_back(array.shape(i));
    count *= array.shape(i);
  }
  out.values.reserve(count);
  const T* base = static_cast<const T*>(array.data_handle());
  if (count == 0) return out;
  base = reinterpret_cast<const T*>(reinterpret_cast<const char*>(base) + array.byte_offset());
  bool contiguous = true;
  int64_t expected = 1;
  for (size_t i = array.ndim(); i-- > 0;) {
    if (array.shape(i) != 1 && array.stride(i) != expected) contiguous = false;
    expected *= static_cast<int64_t>(array.shape(i));
  }
  if (contiguous) {
    out.values.assign(base, base + count);
    return out;
  }
  // Walk the index space in row-major order through the element strides.
  std::vector<size_t> index(array.ndim(), 0);
  for (size_t n = 0; n < count; ++n) {
    int64_t offset = 0;
    for (size_t i = 0; i < array.ndim(); ++i)
      offset += static_cast<int64_t>(index[i]) * array.stride(i);
    out.values.push_back(base[offset]);
    for (size_t i = array.ndim(); i-- > 0;) {
      if (++index[i] < array.shape(i)) break;
      index[i] = 0;
    }
  }
  return out;
}

}  // namespace

ArrayValues<double> float_array(nb::handle object, const char* name,
                                std::initializer_list<long> shape) {
  return read_array<double>(object, name, shape, "float64");
}

ArrayValues<int32_t> int_array(nb::handle object, const char* name,
                               std::initializer_list<long> shape) {
  return read_array<int32_t>(object, name, shape, "int32");
}

void require_finite(const std::vector<double>& values, const char* name) {
  for (double v : values) {
    if (!std::isfinite(v)) throw nb::value_error((std::string(name) + " must be finite").c_str());
  }
}

}  // namespace peakforge::engine
