// Binned profiles of cut pseudo-Voigt peaks, and their derivatives.
//
// Each peak (centre c, FWHM w, mixing η, area A, asymmetry a) is evaluated at
// the bin edges of its window only, at u = (e − c) / (w σ) clipped to ±30
// FWHM, σ = 1 + a below the centre and 1 − a above. The cut profile has its
// edge value subtracted and is renormalised to its area, and each bin gets the
// difference of the cumulative area over it, divided by the bin's width:
//
//   C(e) = σ · [P(u, η) − p(30, η) (u + 30) − (1/2 − 30 p(30, η))]
//   bin b:  (C(e_{b+1}) − C(e_b)) · A / N(η) / (e_{b+1} − e_b)
//
// P is the pseudo-Voigt's cumulative area, p its density and N(η) the cut
// window's area. Derivatives of every bin with respect to c, w, η, A and a
// follow from those of C, and are composed with a per-peak chain matrix
// ∂(c, w, η, A, a)/∂θ_k into a Jacobian over any parameters θ.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int64_t
#include <functional>
#include <string>
#include <vector>

namespace peakforge::profile {

// Half-width of a peak's window, in FWHM.
inline constexpr double window_widths = 30.0;

// Per peak quantities in the order of a chain matrix's rows.
inline constexpr size_t peak_terms = 5;  // centre, fwhm, eta, area, asymmetry

struct PeakColumns {
  std::vector<double> centre, fwhm, eta, area, asymmetry;
  // The peak's window: edges first .. last (inclusive), bins first .. last − 1.
  std::vector<int64_t> first, last;
};

struct BinnedProfile {
  std::vector<double> values;    // mean over each bin
  std::vector<double> jacobian;  // bins × parameters, row-major; empty without a chain
};

// A request the kernel refuses (inconsistent lengths, a window outside the
// edges, a width that is not positive); the binding raises it as ValueError.
struct ProfileError {
  std::string message;
};

// The profile over the bins between consecutive `edges` (increasing), and
// with `parameters` > 0 its Jacobian: `chain` holds per peak a 5 × parameters
// block ∂(centre, fwhm, eta, area, asymmetry)/∂θ. `check_interrupt` is
// called every million or so edges; it throws to stop the calculation.
BinnedProfile binned_profile(const std::vector<double>& edges, const PeakColumns& peaks,
                             const std::vector<double>& chain, size_t parameters,
                             const std::function<void()>& check_interrupt);

}  // namespace peakforge::profile
