#include "profile/binned_profile.hpp"

#include <algorithm>  // for fill
#include <cmath>      // for isfinite, fabs

#include "profile/peak_shape.hpp"

namespace peakforge::profile {
namespace {

// The cumulative area C of one peak at one edge, and its derivatives.
struct EdgeValue {
  double c, d_centre, d_fwhm, d_eta, d_asymmetry;
};

// What every edge of one peak shares: its η and the cut window's terms.
struct PeakTerms {
  double centre, fwhm, eta, asymmetry;
  double edge_value, edge_value_slope;  // p(30, η) and ∂p(30, η)/∂η
  double centre_value;                  // 1/2 − 30 p(30, η)
};

EdgeValue edge_value(const PeakTerms& peak, double edge) {
  const double u = (edge - peak.centre) / peak.fwhm;
  const bool below = u < 0.0;
  const double stretch = below ? 1.0 + peak.asymmetry : 1.0 - peak.asymmetry;
  double v = u / stretch;
  bool clipped = false;
  if (v < -window_widths) v = -window_widths, clipped = true;
  if (v > window_widths) v = window_widths, clipped = true;
  const CumulativeArea parts = cumulative_parts(v);
  const double lorentz_minus_gauss = parts.lorentz - parts.gauss;
  const double cumulative = parts.gauss + peak.eta * lorentz_minus_gauss;
  const double density = parts.gauss_density + peak.eta * (parts.lorentz_density - parts.gauss_density);
  const double cut = cumulative - peak.edge_value * (v + window_widths) - peak.centre_value;
  // Beyond the window the cut area is constant; at its edge its slope is 0 too.
  const double slope = clipped ? 0.0 : density - peak.edge_value;
  return {stretch * cut, -slope / peak.fwhm, -stretch * v * slope / peak.fwhm,
          stretch * (lorentz_minus_gauss - v * peak.edge_value_slope),
          (below ? 1.0 : -1.0) * (cut - v * slope)};
}

[[noreturn]] void refuse(const std::string& message) { throw ProfileError{message}; }

void check(const std::vector<double>& edges, const PeakColumns& peaks, const std::vector<double>& chain,
           size_t parameters) {
  const size_t n = peaks.centre.size();
  for (const std::vector<double>* column : {&peaks.fwhm, &peaks.eta, &peaks.area, &peaks.asymmetry}) {
    if (column->size() != n) refuse("every peak column must have one value per peak");
  }
  if (peaks.first.size() != n || peaks.last.size() != n) refuse("every peak needs its window");
  if (edges.size() < 2) refuse("a profile needs at least two bin edges");
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    if (!(edges[i] < edges[i + 1])) refuse("bin edges must be finite and increase");
  }
  if (!std::isfinite(edges.front()) || !std::isfinite(edges.back())) refuse("bin edges must be finite");
  const int64_t bins = static_cast<int64_t>(edges.size()) - 1;
  for (size_t p = 0; p < n; ++p) {
    if (!(peaks.first[p] >= 0 && peaks.first[p] <= peaks.last[p] && peaks.last[p] <= bins)) {
      refuse("peak windows must lie within the bin edges");
    }
    if (!(peaks.fwhm[p] > 0.0) || !std::isfinite(peaks.fwhm[p])) refuse("peak widths must be positive and finite");
    if (!(peaks.eta[p] >= 0.0 && peaks.eta[p] <= 1.0)) refuse("peak mixing must lie between 0 and 1");
    if (!(std::fabs(peaks.asymmetry[p]) < 1.0)) refuse("peak asymmetry must lie between -1 and 1");
    if (!std::isfinite(peaks.centre[p]) || !std::isfinite(peaks.area[p])) {
      refuse("peak centres and areas must be finite");
    }
  }
  if (chain.size() != n * peak_terms * parameters) refuse("the chain needs 5 rows per peak, one column per parameter");
}

}  // namespace

BinnedProfile binned_profile(const std::vector<double>& edges, const PeakColumns& peaks,
                             const std::vector<double>& chain, size_t parameters,
                             const std::function<void()>& check_interrupt) {
  check(edges, peaks, chain, parameters);
  const size_t bins = edges.size() - 1;
  BinnedProfile out;
  out.values.assign(bins, 0.0);
  out.jacobian.assign(bins * parameters, 0.0);

  // The window's ends, the same for every peak but for η.
  const CumulativeArea high = cumulative_parts(window_widths), low = cumulative_parts(-window_widths);
  const double gauss_edge = gauss_density(window_widths), lorentz_edge = lorentz_density(window_widths);
  std::vector<double> step(peak_terms);
  constexpr size_t edges_between_checks = size_t{1} << 20;
  size_t since_check = 0;

  for (size_t p = 0; p < peaks.centre.size(); ++p) {
    const size_t first = static_cast<size_t>(peaks.first[p]), last = static_cast<size_t>(peaks.last[p]);
    if (last == first || peaks.area[p] == 0.0) continue;
    since_check += last - first + 1;
    if (since_check >= edges_between_checks) {
      check_interrupt();
      since_check = 0;
    }
    const double eta = peaks.eta[p];
    PeakTerms terms{peaks.centre[p], peaks.fwhm[p], eta, peaks.asymmetry[p], 0.0, 0.0, 0.0};
    terms.edge_value = eta * lorentz_edge + (1.0 - eta) * gauss_edge;
    terms.edge_value_slope = lorentz_edge - gauss_edge;
    terms.centre_value = 0.5 - window_widths * terms.edge_value;
    const double window_area = (high.gauss + eta * (high.lorentz - high.gauss)) -
                               (low.gauss + eta * (low.lorentz - low.gauss)) -
                               2.0 * window_widths * terms.edge_value;
    const double window_area_slope = (high.lorentz - high.gauss) - (low.lorentz - low.gauss) -
                                     2.0 * window_widths * terms.edge_value_slope;
    const double scale = peaks.area[p] / window_area;
    const double* block = parameters ? chain.data() + p * peak_terms * parameters : nullptr;

    EdgeValue previous = edge_value(terms, edges[first]);
    for (size_t b = first; b < last; ++b) {
      const EdgeValue next = edge_value(terms, edges[b + 1]);
      const double difference = next.c - previous.c;
      out.values[b] += difference * scale;
      if (parameters) {
        step[0] = (next.d_centre - previous.d_centre) * scale;
        step[1] = (next.d_fwhm - previous.d_fwhm) * scale;
        step[2] = (next.d_eta - previous.d_eta) * scale - difference * scale * window_area_slope / window_area;
        step[3] = difference / window_area;
        step[4] = (next.d_asymmetry - previous.d_asymmetry) * scale;
        double* row = out.jacobian.data() + b * parameters;
        for (size_t q = 0; q < peak_terms; ++q) {
          const double s = step[q];
          if (s == 0.0) continue;
          const double* coefficients = block + q * parameters;
          for (size_t k = 0; k < parameters; ++k) row[k] += s * coefficients[k];
        }
      }
      previous = next;
    }
  }
  for (size_t b = 0; b < bins; ++b) {
    const double width = edges[b + 1] - edges[b];
    out.values[b] /= width;
    for (size_t k = 0; k < parameters; ++k) out.jacobian[b * parameters + k] /= width;
  }
  return out;
}

}  // namespace peakforge::profile
