// A whole powder pattern, from cell and atoms to the table of peaks: the
// reflections of the shell one per set of symmetry-equivalent reflections,
// their intensities (|F|² × Lorentz-polarisation × multiplicity), peaks
// merged within a 2θ tolerance, scaled to 100 and cut below a threshold.
#pragma once

#include <span>
#include <vector>

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

// Raises RequestError for a request that cannot be computed; calls
// `check_interrupt` between pieces of work (it may throw to stop).
PeakTable compute_peak_table(const PatternRequest& request, const InterruptCheck& check_interrupt);

// The Lorentz-polarisation factor the peaks carry, at each 2θ (degrees), for
// a radiation and a monochromator's 2θ (degrees, 0 for none): what a profile
// needs at the angles of other emission lines.
std::vector<double> lorentz_polarisation_at(std::span<const double> two_theta, Radiation radiation,
                                            double monochromator_two_theta);

}  // namespace peakforge::pattern
