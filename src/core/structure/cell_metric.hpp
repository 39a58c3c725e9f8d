// Whether a cell has the symmetry of a group: every rotation R (acting on
// fractional coordinates) must keep the metric tensor G = L Lᵀ, RᵀGR = G, in
// any setting.
#pragma once

#include <vector>

#include "structure/structure_types.hpp"

namespace peakforge::structure {

// Largest change of G under the rotations, relative to G's largest element.
double metric_mismatch(const Matrix3& lattice, const std::vector<Operation>& operations);

}  // namespace peakforge::structure
