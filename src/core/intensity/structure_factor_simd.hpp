// The structure-factor sum with four atoms per step: full groups of four go
// through sin_cos_x4 in four lane sums, combined ((0 + 1) + 2) + 3 at the end;
// the atoms left over go through the scalar step. Agrees with
// structure_factor to rounding, and to the bit when there are fewer than four
// atoms.
#pragma once

#include "intensity/structure_factor.hpp"

namespace peakforge {

// Same arguments as structure_factor, but hkl is checked first, even when n
// is 0.
StructureFactor structure_factor_simd(const Vector& hkl, const Vector& x, const Vector& y,
                                      const Vector& z, const Vector& f, const Vector& occ,
                                      const Vector& dw, size_t n);

}  // namespace peakforge
