// The reflections of a shell, one per set of symmetry-equivalent reflections.
//
// The walk visits the same box of indices as the exhaustive reflection list
// and computes each length the same way, so a shell holds the same lattice
// points; of each set it keeps the member that reads most naturally (fewest
// negative indices, then the greatest in h, k, l order) with the set's size.
#pragma once

#include <cstdint>  // for int32_t
#include <vector>

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

struct ReflectionOrbit {
  int32_t h, k, l;
  int32_t multiplicity;  // reflections in the set
  double g;              // 1/d of the representative, Å⁻¹
};

// Sets of reflections with min_g ≤ g ≤ max_g and g λ / 2 < 1, under the
// `equivalents` (a group of index rotations, identity first). Unordered.
// Raises RequestError when the index box does not fit 32-bit indices or
// holds more than `request.max_walk` index triples.
std::vector<ReflectionOrbit> reflection_orbits(const PatternRequest& request,
                                               const std::vector<IntMatrix3>& equivalents,
                                               const InterruptCheck& check_interrupt);

}  // namespace peakforge::pattern
