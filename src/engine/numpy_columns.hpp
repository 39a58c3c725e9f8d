// NumPy arrays that own a vector's buffer: results leave the engine without a
// copy, and the array frees the vector when the last reference goes.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>  // for size_t
#include <initializer_list>
#include <memory>   // for unique_ptr
#include <utility>  // for move
#include <vector>

namespace peakforge::engine {

namespace nb = nanobind;

// A NumPy array that owns `values`, with the given shape.
template <class T>
nb::object to_numpy(std::vector<T>&& values, std::initializer_list<size_t> shape) {
  values.reserve(1);  // a real pointer even when empty
  auto owned = std::make_unique<std::vector<T>>(std::move(values));
  nb::capsule owner(owned.get(), [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  std::vector<T>* data = owned.release();
  return nb::cast(nb::ndarray<nb::numpy, T>(data->data(), shape.size(), shape.begin(), owner),
                  nb::rv_policy::reference);
}

}  // namespace peakforge::engine
