// A whole powder pattern, from cell and atoms to the table of peaks: the
// reflections of the shell one per set of symmetry-equivalent reflections,
// their intensities (|F|² × Lorentz-polarisation × multiplicity), peaks
// merged within a 2θ tolerance, scaled to 100 and cut below a threshold.
#pragma once

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

// Raises RequestError for a request that cannot be computed; calls
// `check_interrupt` between pieces of work (it may throw to stop).
PeakTable compute_peak_table(const PatternRequest& request, const InterruptCheck& check_interrupt);

}  // namespace peakforge::pattern
