#include "pattern/intensity_derivatives.hpp"

#include <algorithm>  // for min, max
#include <cmath>      // for exp

#include "pattern/pattern_peaks.hpp"
#include "pattern/phase_sums.hpp"
#include "pattern/structure_factors.hpp"

namespace peakforge::pattern {
namespace {

constexpr double four_pi = 12.566370614359172;
// Atom terms between two interrupt checks.
constexpr size_t terms_between_checks = size_t{1} << 22;

}  // namespace

PeakDerivatives compute_peak_derivatives(const PatternRequest& request,
                                         const InterruptCheck& check_interrupt) {
  const PatternReflections found = pattern_reflections(request, check_interrupt);
  std::vector<PeakMember> members;
  PeakDerivatives out;
  out.table = peak_table_of(request, found, &members);
  const size_t atoms = request.atoms.size(), peaks = out.table.two_theta.size();
  out.atoms = atoms;
  out.d_frac.assign(peaks * atoms * 3, 0.0);
  out.d_b.assign(peaks * atoms, 0.0);
  out.d_occupancy.assign(peaks * atoms, 0.0);
  if (members.empty() || atoms == 0) return out;

  int32_t lo[3], hi[3];
  {
    const ReflectionOrbit& o = found.orbits[members[0].orbit];
    lo[0] = hi[0] = o.h, lo[1] = hi[1] = o.k, lo[2] = hi[2] = o.l;
  }
  for (const PeakMember& m : members) {
    const ReflectionOrbit& o = found.orbits[m.orbit];
    lo[0] = std::min(lo[0], o.h), hi[0] = std::max(hi[0], o.h);
    lo[1] = std::min(lo[1], o.k), hi[1] = std::max(hi[1], o.k);
    lo[2] = std::min(lo[2], o.l), hi[2] = std::max(hi[2], o.l);
  }
  std::vector<double> x(padded(atoms), 0.0), y(padded(atoms), 0.0), z(padded(atoms), 0.0);
  for (size_t j = 0; j < atoms; ++j) {
    x[j] = request.atoms[j].frac[0], y[j] = request.atoms[j].frac[1],
    z[j] = request.atoms[j].frac[2];
  }
  const PhaseTable x_table(x, lo[0], hi[0], request.use_simd),
      y_table(y, lo[1], hi[1], request.use_simd), z_table(z, lo[2], hi[2], request.use_simd);

  std::vector<double> f_re(request.species.size()), f_im(request.species.size());
  std::vector<double> fe_re(atoms), fe_im(atoms), weight(atoms), temperature(atoms);
  // Under anomalous dispersion a peak's set holds h and -h of different
  // |F|², and its intensity is their mean: f e(-h) = f conj(e(h)).
  const bool mates = request.anomalous;
  std::vector<double> fm_re(mates ? atoms : 0), fm_im(mates ? atoms : 0);
  size_t since_check = 0;
  for (const PeakMember& member : members) {
    const ReflectionOrbit& o = found.orbits[member.orbit];
    const double s2 = (o.g * 0.5) * (o.g * 0.5);
    for (size_t s = 0; s < request.species.size(); ++s) {
      const std::array<double, 2> f = scattering_factor(request.species[s], request.radiation, s2);
      f_re[s] = f[0], f_im[s] = f[1];
    }
    const double h = o.h, k = o.k, l = o.l;
    const double *xr = x_table.re(o.h), *xi = x_table.im(o.h), *yr = y_table.re(o.k),
                 *yi = y_table.im(o.k);
    const double *zr = z_table.re(o.l), *zi = z_table.im(o.l);
    double sum_re = 0.0, sum_im = 0.0, mate_re = 0.0, mate_im = 0.0;
    for (size_t j = 0; j < atoms; ++j) {
      const Atom& atom = request.atoms[j];
      const double a_re = xr[j] * yr[j] - xi[j] * yi[j], a_im = xr[j] * yi[j] + xi[j] * yr[j];
      const double e_re = a_re * zr[j] - a_im * zi[j], e_im = a_re * zi[j] + a_im * zr[j];
      const size_t s = static_cast<size_t>(atom.species);
      fe_re[j] = f_re[s] * e_re - f_im[s] * e_im;
      fe_im[j] = f_re[s] * e_im + f_im[s] * e_re;
      double exponent = s2 * atom.b_iso;
      if (atom.anisotropic) {
        const std::array<double, 6>& b = atom.beta;
        exponent = b[0] * h * h + b[1] * k * k + b[2] * l * l +
                   2.0 * (b[3] * h * k + b[4] * h * l + b[5] * k * l);
      }
      temperature[j] = std::exp(-exponent);
      weight[j] = atom.occupancy * temperature[j];
      sum_re += weight[j] * fe_re[j];
      sum_im += weight[j] * fe_im[j];
      if (mates) {
        fm_re[j] = f_re[s] * e_re + f_im[s] * e_im;
        fm_im[j] = f_im[s] * e_re - f_re[s] * e_im;
        mate_re += weight[j] * fm_re[j];
        mate_im += weight[j] * fm_im[j];
      }
    }
    const double scale = static_cast<double>(o.multiplicity) * member.lorentz_polarisation;
    double* d_frac = out.d_frac.data() + member.peak * atoms * 3;
    double* d_b = out.d_b.data() + member.peak * atoms;
    double* d_occupancy = out.d_occupancy.data() + member.peak * atoms;
    for (size_t j = 0; j < atoms; ++j) {
      // q = conj(F) · f e; with the mate (index -h, so its positions turn
      // the other way), the mean of the two.
      double q_re = sum_re * fe_re[j] + sum_im * fe_im[j];
      double q_im = sum_re * fe_im[j] - sum_im * fe_re[j];
      if (mates) {
        const double m_re = mate_re * fm_re[j] + mate_im * fm_im[j];
        const double m_im = mate_re * fm_im[j] - mate_im * fm_re[j];
        q_re = (q_re + m_re) * 0.5;
        q_im = (q_im - m_im) * 0.5;
      }
      const double position = -four_pi * weight[j] * q_im * scale;
      d_frac[3 * j] += position * h;
      d_frac[3 * j + 1] += position * k;
      d_frac[3 * j + 2] += position * l;
      if (!request.atoms[j].anisotropic) d_b[j] += -2.0 * s2 * weight[j] * q_re * scale;
      d_occupancy[j] += 2.0 * temperature[j] * q_re * scale;
    }
    since_check += atoms;
    if (since_check >= terms_between_checks) {
      check_interrupt(0, 0);
      since_check = 0;
    }
  }
  return out;
}

}  // namespace peakforge::pattern
