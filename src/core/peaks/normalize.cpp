#include "peaks/normalize.hpp"

#include <cmath>   // for isnan
#include <limits>  // for infinity

namespace peakforge {

double max_ignoring_nan(const std::vector<double>& values) {
  double m = -std::numeric_limits<double>::infinity();
  for (const double x : values) {
    if (!std::isnan(x) && !(m > x)) m = x;
  }
  return m;
}

std::vector<double> normalize_intensities(std::vector<double> intensities, double max_value) {
  const double m = max_ignoring_nan(intensities);
  if (m == 0.0) return intensities;  // also true for -0.0
  for (double& x : intensities) {
    // Division first: (x * max_value) / m and x * (max_value / m) round
    // differently, e.g. 1.0 / 49.0 * 49.0 is 0.9999999999999999.
    const double quotient = x / m;
    x = quotient * max_value;
  }
  return intensities;
}

}  // namespace peakforge
