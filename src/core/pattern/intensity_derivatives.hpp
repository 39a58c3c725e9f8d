// Derivatives of each peak's intensity Σ m · LP · |F|² with respect to every
// atom's fractional coordinates, isotropic B and occupancy.
//
// With F = Σ_j f_j o_j T_j e_j, e_j = exp(2πi h·x_j), and q_j = conj(F) f_j e_j:
//   ∂|F|²/∂x_j = −4π h o_j T_j Im q_j,  ∂|F|²/∂B_j = −2 s² o_j T_j Re q_j,
//   ∂|F|²/∂o_j = 2 T_j Re q_j,
// each set of equivalent reflections taken at its representative h (the
// derivatives by a site, summed over its symmetry images, are the same for
// every member). The phase factors e_j come from the tables the structure
// factors use.
#pragma once

#include <cstddef>  // for size_t
#include <vector>

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

struct PeakDerivatives {
  PeakTable table;
  size_t atoms = 0;
  std::vector<double> d_frac;       // peaks × atoms × 3
  std::vector<double> d_b;          // peaks × atoms; 0 for an anisotropic atom
  std::vector<double> d_occupancy;  // peaks × atoms
};

// The peak table of `request` (as compute_peak_table gives it) with the
// derivatives of each peak's absolute intensity.
PeakDerivatives compute_peak_derivatives(const PatternRequest& request,
                                         const InterruptCheck& check_interrupt);

}  // namespace peakforge::pattern
