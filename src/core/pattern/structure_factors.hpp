// |F|² of one representative per set of equivalent reflections:
// F = Σ_species f(s) Σ_atoms occ · T(h) · exp(2πi h·x), with f complex under
// anomalous dispersion and T isotropic (exp(-B s²)) or anisotropic per atom.
#pragma once

#include <vector>

#include "pattern/pattern_request.hpp"
#include "pattern/reflection_orbits.hpp"

namespace peakforge::pattern {

// |F|² for each orbit, in the order given. Runs on a call pool when the
// request allows it and the work is large enough to pay for the threads;
// `check_interrupt` is called on the calling thread between pieces.
// `bijvoet_mean` says each orbit holds -h beside h: under anomalous
// dispersion, where f is complex and |F(h)|² and |F(-h)|² differ, the result
// is then their mean, both from the same sums (the phase sum of -h is the
// conjugate of that of h).
std::vector<double> squared_structure_factors(const PatternRequest& request,
                                              const std::vector<ReflectionOrbit>& orbits,
                                              const InterruptCheck& check_interrupt,
                                              bool bijvoet_mean = false);

// f of one species at s² = (sin θ / λ)², as a pair (re, im).
std::array<double, 2> scattering_factor(const Species& species, Radiation radiation, double s2);

}  // namespace peakforge::pattern
