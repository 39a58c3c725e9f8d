#include "profile/binned_profile.hpp"

#include <algorithm>  // for copy
#include <cmath>      // for isfinite, fabs
#include <cstddef>    // for ptrdiff_t

#include "profile/peak_shape.hpp"
#include "profile/profile_lanes.hpp"

namespace peakforge::profile {
namespace {

// What every edge of one peak shares: its η and the cut window's terms.
struct PeakTerms {
  double centre, fwhm, eta, asymmetry;
  double per_fwhm, per_stretch_below, per_stretch_above;  // 1 / FWHM, 1 / (1 + a), 1 / (1 − a)
  double edge_value, edge_value_slope;                    // p(30, η) and ∂p(30, η)/∂η
  double centre_value;                                    // 1/2 − 30 p(30, η)
  double erfc_at_zero;
};

// The cumulative area C of one peak at each of `count` edges, and with
// `derivatives` its derivatives by centre, FWHM, η and asymmetry.
struct EdgeColumns {
  std::vector<double> c, d_centre, d_fwhm, d_eta, d_asymmetry;
  void resize(size_t n, bool derivatives) {
    c.resize(n);
    if (derivatives) d_centre.resize(n), d_fwhm.resize(n), d_eta.resize(n), d_asymmetry.resize(n);
  }
};

template <class L, bool derivatives>
[[gnu::always_inline]] inline void edge_block(const PeakTerms& peak, const double* edges, size_t i,
                                              EdgeColumns& out) {
  using V = typename L::Vec;
  const V one = L::splat(1.0), window = L::splat(window_widths);
  const V u = L::mul(L::sub(L::load(edges + i), L::splat(peak.centre)), L::splat(peak.per_fwhm));
  const typename L::Mask below = L::less(u, L::splat(0.0));
  const V stretch =
      L::select(below, L::splat(1.0 - peak.asymmetry), L::splat(1.0 + peak.asymmetry));
  V v = L::mul(
      u, L::select(below, L::splat(peak.per_stretch_above), L::splat(peak.per_stretch_below)));
  const typename L::Mask low = L::less(v, L::sub(L::splat(0.0), window)),
                         high = L::greater(v, window);
  v = L::select(high, L::select(low, v, L::sub(L::splat(0.0), window)), window);
  const CumulativeParts<L> parts = cumulative_parts<L, derivatives>(v, peak.erfc_at_zero);
  const V eta = L::splat(peak.eta), edge_value = L::splat(peak.edge_value);
  const V lorentz_minus_gauss = L::sub(parts.lorentz, parts.gauss);
  const V cumulative = L::add(parts.gauss, L::mul(eta, lorentz_minus_gauss));
  const V cut = L::sub(L::sub(cumulative, L::mul(edge_value, L::add(v, window))),
                       L::splat(peak.centre_value));
  L::store(out.c.data() + i, L::mul(stretch, cut));
  if constexpr (derivatives) {
    const V density = L::add(parts.gauss_density,
                             L::mul(eta, L::sub(parts.lorentz_density, parts.gauss_density)));
    // Beyond the window the cut area is constant; at its edge its slope is 0 too.
    const V slope = L::select(L::either(low, high), L::sub(density, edge_value), L::splat(0.0));
    const V per_fwhm = L::splat(-peak.per_fwhm);
    L::store(out.d_centre.data() + i, L::mul(slope, per_fwhm));
    L::store(out.d_fwhm.data() + i, L::mul(L::mul(L::mul(stretch, v), slope), per_fwhm));
    L::store(
        out.d_eta.data() + i,
        L::mul(stretch, L::sub(lorentz_minus_gauss, L::mul(v, L::splat(peak.edge_value_slope)))));
    const V side = L::select(below, L::splat(-1.0), one);
    L::store(out.d_asymmetry.data() + i, L::mul(side, L::sub(cut, L::mul(v, slope))));
  }
}

// row += Σ_q step[q] · block[q] (the bin's share of each peak term times the
// peak's chain), four parameters at a time; `stride` is a multiple of four.
void accumulate_row(const double* step, const double* block, size_t stride, double* row) {
  for (size_t k = 0; k < stride; k += X4Lane::width) {
    __m256d sum = X4Lane::load(row + k);
    for (size_t q = 0; q < peak_terms; ++q) {
      sum = X4Lane::add(sum,
                        X4Lane::mul(X4Lane::splat(step[q]), X4Lane::load(block + q * stride + k)));
    }
    X4Lane::store(row + k, sum);
  }
}

// Every edge of the window in vectors of four, the rest one by one with the
// same operations.
template <bool derivatives>
void edge_columns(const PeakTerms& peak, const double* edges, size_t count, EdgeColumns& out) {
  out.resize(count, derivatives);
  size_t i = 0;
  for (; i + X4Lane::width <= count; i += X4Lane::width)
    edge_block<X4Lane, derivatives>(peak, edges, i, out);
  for (; i < count; ++i) edge_block<ScalarLane, derivatives>(peak, edges, i, out);
}

[[noreturn]] void refuse(const std::string& message) { throw ProfileError{message}; }

void check(const std::vector<double>& edges, const PeakColumns& peaks,
           const std::vector<double>& chain, size_t parameters) {
  const size_t n = peaks.centre.size();
  for (const std::vector<double>* column :
       {&peaks.fwhm, &peaks.eta, &peaks.area, &peaks.asymmetry}) {
    if (column->size() != n) refuse("every peak column must have one value per peak");
  }
  if (peaks.first.size() != n || peaks.last.size() != n) refuse("every peak needs its window");
  if (edges.size() < 2) refuse("a profile needs at least two bin edges");
  for (size_t i = 0; i + 1 < edges.size(); ++i) {
    if (!(edges[i] < edges[i + 1])) refuse("bin edges must be finite and increase");
  }
  if (!std::isfinite(edges.front()) || !std::isfinite(edges.back()))
    refuse("bin edges must be finite");
  const int64_t bins = static_cast<int64_t>(edges.size()) - 1;
  for (size_t p = 0; p < n; ++p) {
    if (!(peaks.first[p] >= 0 && peaks.first[p] <= peaks.last[p] && peaks.last[p] <= bins)) {
      refuse("peak windows must lie within the bin edges");
    }
    if (!(peaks.fwhm[p] > 0.0) || !std::isfinite(peaks.fwhm[p]))
      refuse("peak widths must be positive and finite");
    if (!(peaks.eta[p] >= 0.0 && peaks.eta[p] <= 1.0))
      refuse("peak mixing must lie between 0 and 1");
    if (!(std::fabs(peaks.asymmetry[p]) < 1.0)) refuse("peak asymmetry must lie between -1 and 1");
    if (!std::isfinite(peaks.centre[p]) || !std::isfinite(peaks.area[p])) {
      refuse("peak centres and areas must be finite");
    }
  }
  if (chain.size() != n * peak_terms * parameters)
    refuse("the chain needs 5 rows per peak, one column per parameter");
}

}  // namespace

BinnedProfile binned_profile(const std::vector<double>& edges, const PeakColumns& peaks,
                             const std::vector<double>& chain, size_t parameters,
                             const std::function<void()>& check_interrupt) {
  check(edges, peaks, chain, parameters);
  const size_t bins = edges.size() - 1;
  BinnedProfile out;
  out.values.assign(bins, 0.0);
  // The Jacobian is accumulated with rows padded to whole vectors of four.
  const size_t stride = (parameters + X4Lane::width - 1) / X4Lane::width * X4Lane::width;
  std::vector<double> padded_jacobian(bins * stride, 0.0), padded_block(peak_terms * stride, 0.0);

  // The window's ends, the same for every peak but for η.
  const double erfc_at_zero = erfc_fit_at_zero();
  const CumulativeParts<ScalarLane> high =
      cumulative_parts<ScalarLane, false>(window_widths, erfc_at_zero);
  const CumulativeParts<ScalarLane> low =
      cumulative_parts<ScalarLane, false>(-window_widths, erfc_at_zero);
  const double gauss_edge = gauss_density(window_widths),
               lorentz_edge = lorentz_density(window_widths);
  std::vector<double> step(peak_terms);
  EdgeColumns columns;
  constexpr size_t edges_between_checks = size_t{1} << 20;
  size_t since_check = 0;

  for (size_t p = 0; p < peaks.centre.size(); ++p) {
    const size_t first = static_cast<size_t>(peaks.first[p]),
                 last = static_cast<size_t>(peaks.last[p]);
    if (last == first || peaks.area[p] == 0.0) continue;
    since_check += last - first + 1;
    if (since_check >= edges_between_checks) {
      check_interrupt();
      since_check = 0;
    }
    const double eta = peaks.eta[p];
    const double a = peaks.asymmetry[p];
    PeakTerms terms{peaks.centre[p], peaks.fwhm[p], eta, a,   1.0 / peaks.fwhm[p], 1.0 / (1.0 + a),
                    1.0 / (1.0 - a), 0.0,           0.0, 0.0, erfc_at_zero};
    terms.edge_value = eta * lorentz_edge + (1.0 - eta) * gauss_edge;
    terms.edge_value_slope = lorentz_edge - gauss_edge;
    terms.centre_value = 0.5 - window_widths * terms.edge_value;
    const double window_area = (high.gauss + eta * (high.lorentz - high.gauss)) -
                               (low.gauss + eta * (low.lorentz - low.gauss)) -
                               2.0 * window_widths * terms.edge_value;
    const double window_area_slope = (high.lorentz - high.gauss) - (low.lorentz - low.gauss) -
                                     2.0 * window_widths * terms.edge_value_slope;
    const double scale = peaks.area[p] / window_area;
    const size_t count = last - first + 1;
    if (!parameters) {
      edge_columns<false>(terms, edges.data() + first, count, columns);
      for (size_t i = 0; i + 1 < count; ++i)
        out.values[first + i] += (columns.c[i + 1] - columns.c[i]) * scale;
      continue;
    }
    edge_columns<true>(terms, edges.data() + first, count, columns);
    for (size_t q = 0; q < peak_terms; ++q) {
      const double* from = chain.data() + (p * peak_terms + q) * parameters;
      std::copy(from, from + parameters,
                padded_block.begin() + static_cast<std::ptrdiff_t>(q * stride));
    }
    for (size_t i = 0; i + 1 < count; ++i) {
      const double difference = columns.c[i + 1] - columns.c[i];
      out.values[first + i] += difference * scale;
      step[0] = (columns.d_centre[i + 1] - columns.d_centre[i]) * scale;
      step[1] = (columns.d_fwhm[i + 1] - columns.d_fwhm[i]) * scale;
      // η also changes the window's area the peak is renormalised by.
      step[2] = (columns.d_eta[i + 1] - columns.d_eta[i]) * scale -
                difference * scale * window_area_slope / window_area;
      step[3] = difference / window_area;
      step[4] = (columns.d_asymmetry[i + 1] - columns.d_asymmetry[i]) * scale;
      accumulate_row(step.data(), padded_block.data(), stride,
                     padded_jacobian.data() + (first + i) * stride);
    }
  }
  out.jacobian.resize(bins * parameters);
  for (size_t b = 0; b < bins; ++b) {
    const double width = edges[b + 1] - edges[b];
    out.values[b] /= width;
    for (size_t k = 0; k < parameters; ++k)
      out.jacobian[b * parameters + k] = padded_jacobian[b * stride + k] / width;
  }
  return out;
}

}  // namespace peakforge::profile
