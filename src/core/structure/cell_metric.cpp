#include "structure/cell_metric.hpp"

#include <algorithm>  // for max
#include <cmath>      // for fabs

namespace peakforge::structure {

double metric_mismatch(const Matrix3& lattice, const std::vector<Operation>& operations) {
  double g[3][3];
  double scale = 0.0;
  for (size_t i = 0; i < 3; ++i) {
    for (size_t j = 0; j < 3; ++j) {
      g[i][j] = lattice[i][0] * lattice[j][0] + lattice[i][1] * lattice[j][1] +
                lattice[i][2] * lattice[j][2];
      scale = std::max(scale, std::fabs(g[i][j]));
    }
  }
  double worst = 0.0;
  for (const Operation& op : operations) {
    const auto r = [&op](size_t i, size_t j) { return op.rotation[3 * i + j]; };
    double gr[3][3];  // G R
    for (size_t j = 0; j < 3; ++j) {
      for (size_t l = 0; l < 3; ++l)
        gr[j][l] = g[j][0] * r(0, l) + g[j][1] * r(1, l) + g[j][2] * r(2, l);
    }
    for (size_t i = 0; i < 3; ++i) {
      for (size_t l = 0; l < 3; ++l) {
        const double changed = r(0, i) * gr[0][l] + r(1, i) * gr[1][l] + r(2, i) * gr[2][l];
        worst = std::max(worst, std::fabs(changed - g[i][l]));
      }
    }
  }
  return worst / scale;
}

}  // namespace peakforge::structure
