#include "intensity/structure_factor.hpp"

namespace peakforge {

StructureFactor structure_factor(const Vector& hkl, const Vector& x, const Vector& y,
                                 const Vector& z, const Vector& f, const Vector& occ,
                                 const Vector& dw, size_t n) {
  if (n == 0) return {0.0, 0.0};
  const double h = at(hkl, 0), k = at(hkl, 1), l = at(hkl, 2);
  StructureFactor sum{0.0, 0.0};
  for (size_t j = 0; j < n; ++j) add_atom(h, k, l, x, y, z, f, occ, dw, j, sum);
  return sum;
}

}  // namespace peakforge
