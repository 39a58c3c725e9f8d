#include "structure/site_expansion.hpp"

#include <cmath>  // for floor, nearbyint

namespace peakforge::structure {
namespace {

// R x + t with each coordinate wrapped into [0, 1): a coordinate a hair
// below an integer wraps to 1.0 in floating point, and is then taken as 0.
Vector3 wrapped_image(const Operation& op, const Vector3& x) {
  Vector3 image{};
  for (size_t i = 0; i < 3; ++i) {
    const double* row = &op.rotation[3 * i];
    double value = row[0] * x[0] + row[1] * x[1] + row[2] * x[2] + op.translation[i];
    value -= std::floor(value);
    image[i] = value >= 1.0 ? 0.0 : value;
  }
  return image;
}

// Distance (Å) between two wrapped positions through the nearest whole
// lattice shift of their difference (rounding half to even, as the default
// floating-point mode does).
double rounded_distance_squared(const Vector3& a, const Vector3& b, const Matrix3& lattice) {
  Vector3 delta{};
  for (size_t i = 0; i < 3; ++i) {
    delta[i] = a[i] - b[i];
    delta[i] -= std::nearbyint(delta[i]);
  }
  return norm_squared(cartesian(delta, lattice));
}

}  // namespace

Expansion expand_sites(const Matrix3& lattice, const std::vector<Vector3>& sites,
                       const std::vector<Operation>& operations, double tolerance) {
  Expansion out;
  std::vector<Vector3> images(operations.size());
  std::vector<size_t> kept, dropped;  // this site's images so far, by index
  kept.reserve(operations.size());
  dropped.reserve(operations.size());
  out.positions.reserve(sites.size());
  // Compared as distances, not squares, so that the boundary falls exactly
  // where a distance computed with a square root puts it.
  const auto near = [&](size_t k, size_t earlier) {
    return std::sqrt(rounded_distance_squared(images[k], images[earlier], lattice)) < tolerance;
  };
  for (size_t s = 0; s < sites.size(); ++s) {
    for (size_t k = 0; k < operations.size(); ++k)
      images[k] = wrapped_image(operations[k], sites[s]);
    kept.clear();
    dropped.clear();
    for (size_t k = 0; k < operations.size(); ++k) {
      // An image is dropped when any earlier one is near it. The kept images
      // are asked first: on a special position a repeat is near one of the
      // few kept, and the many dropped ones need not be asked at all.
      bool repeat = false;
      for (size_t i = 0; i < kept.size() && !repeat; ++i) repeat = near(k, kept[i]);
      for (size_t i = 0; i < dropped.size() && !repeat; ++i) repeat = near(k, dropped[i]);
      if (repeat) {
        dropped.push_back(k);
        continue;
      }
      kept.push_back(k);
      out.positions.push_back(images[k]);
      out.site_of.push_back(static_cast<int64_t>(s));
      out.operation_of.push_back(static_cast<int32_t>(k));
    }
  }
  return out;
}

}  // namespace peakforge::structure
