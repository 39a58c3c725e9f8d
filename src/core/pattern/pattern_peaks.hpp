// A whole powder pattern, from cell and atoms to the table of peaks: the
// reflections of the shell one per set of symmetry-equivalent reflections,
// their intensities (|F|² × Lorentz-polarisation × multiplicity), peaks
// merged within a 2θ tolerance, scaled to 100 and cut below a threshold.
#pragma once

#include <cstddef>  // for size_t
#include <span>
#include <vector>

#include "pattern/pattern_request.hpp"
#include "pattern/reflection_orbits.hpp"

namespace peakforge::pattern {

// Raises RequestError for a request that cannot be computed; calls
// `check_interrupt` between pieces of work (it may throw to stop).
PeakTable compute_peak_table(const PatternRequest& request, const InterruptCheck& check_interrupt);

// The reflections of a pattern before they are merged into peaks: one per
// set of equivalent reflections the space group allows, with its |F|².
struct PatternReflections {
  std::vector<ReflectionOrbit> orbits;
  std::vector<double> f_squared;
  size_t point_group_order = 1;
  size_t lattice_points = 0;  // of the shell, those of extinguished sets included
};

PatternReflections pattern_reflections(const PatternRequest& request,
                                       const InterruptCheck& check_interrupt);

// One set of reflections under a kept peak: the orbit (an index into the
// PatternReflections) and its Lorentz-polarisation factor.
struct PeakMember {
  size_t peak, orbit;
  double lorentz_polarisation;
};

// The peak table of the reflections; with `members`, every set of
// reflections under each kept peak.
PeakTable peak_table_of(const PatternRequest& request, const PatternReflections& reflections,
                        std::vector<PeakMember>* members);
// The Lorentz-polarisation factor the peaks carry, at each 2θ (degrees), for
// a radiation and a monochromator's 2θ (degrees, 0 for none): what a profile
// needs at the angles of other emission lines.
std::vector<double> lorentz_polarisation_at(std::span<const double> two_theta, Radiation radiation,
                                            double monochromator_two_theta);

}  // namespace peakforge::pattern
