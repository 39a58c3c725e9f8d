// Every set of symmetry-equivalent reflections of a shell, unmerged: the
// representative, the set's size, d, 2θ, |F|², and whether the space group
// the atoms follow extinguishes it; with the operations that decided. This is
// what a reader asks of a pattern when a peak is missing or weak.
#pragma once

#include <cstdint>  // for int32_t, int64_t, uint8_t
#include <vector>

#include "pattern/crystal_symmetry.hpp"
#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

// Sets in increasing g, then h, k, l descending. An extinguished set's
// |F|² is not computed (0).
struct ReflectionTable {
  std::vector<int32_t> hkl;  // h, k, l per set
  std::vector<int64_t> multiplicity;
  std::vector<double> d, two_theta, f_squared;
  std::vector<uint8_t> absent;
  PointGroup symmetry;
};

// Raises RequestError for a request that cannot be computed; calls
// `check_interrupt` between pieces of work (it may throw to stop).
ReflectionTable compute_reflection_table(const PatternRequest& request,
                                         const InterruptCheck& check_interrupt);

}  // namespace peakforge::pattern
