#include "intensity/structure_factor.hpp"

namespace peakforge {

StructureFactor structure_factor(IndexVector hkl, const AtomColumns& atoms, const double* weights) {
  if (atoms.count == 0) return {0.0, 0.0};
  const MillerIndex index = miller_index(hkl);
  require_every_atom(atoms);
  StructureFactor sum{0.0, 0.0};
  for (size_t j = 0; j < atoms.count; ++j) add_atom(index, atoms, weights, j, sum);
  return sum;
}

}  // namespace peakforge
