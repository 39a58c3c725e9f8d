// The structure-factor sum with four atoms per step: full groups of four go
// through the vector sine/cosine in four lane sums, combined
// ((0 + 1) + 2) + 3 at the end; the atoms left over go through the scalar
// step. On processors with AVX-512 two groups share one 8-lane step with the
// same bits. Agrees with structure_factor to rounding, and to the bit when
// there are fewer than four atoms.
#pragma once

#include "intensity/simd_width.hpp"
#include "intensity/structure_factor.hpp"

namespace peakforge {

// Same arguments as structure_factor, but hkl is checked first, even when
// there are no atoms.
StructureFactor structure_factor_simd(IndexVector hkl, const AtomColumns& atoms,
                                      const double* weights, SimdWidth width);

}  // namespace peakforge
