// Rescaling of intensities so that the largest becomes a given value.
#pragma once

#include <vector>

namespace peakforge {

// The largest non-NaN entry; -inf when there is none.
double max_ignoring_nan(const std::vector<double>& values);

// Each entry becomes (x / m) * max_value, m the largest non-NaN entry. With
// m zero (either sign) the entries come back unchanged. Works in place on
// the vector it is given, which is also the result.
std::vector<double> normalize_intensities(std::vector<double> intensities, double max_value);

}  // namespace peakforge
