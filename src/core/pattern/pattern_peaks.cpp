#include "pattern/pattern_peaks.hpp"

#include <algorithm>  // for sort
#include <cmath>      // for asin, fabs, isnan, isfinite
#include <limits>     // for infinity
#include <string>     // for to_string

#include "intensity/lorentz_polarisation.hpp"
#include "pattern/crystal_symmetry.hpp"
#include "pattern/reflection_orbits.hpp"
#include "pattern/structure_factors.hpp"

namespace peakforge::pattern {
namespace {

constexpr double degrees_per_radian = 57.29577951308232;
constexpr double radians_per_degree = 0.017453292519943295;

// Neutrons and electrons are not polarised by scattering.
double factor_at(Radiation radiation, double monochromator_two_theta, double theta) {
  return lorentz_polarisation(theta, radiation == Radiation::xray, monochromator_two_theta);
}

struct Reflection {
  ReflectionOrbit orbit;
  size_t index;      // into the pattern's orbits
  double two_theta;  // degrees
  double lorentz_polarisation;
  double intensity;  // per reflection: |F|² × LP
};

// g ascending, then h, k, l descending: the exhaustive list's order.
bool precedes(const Reflection& a, const Reflection& b) {
  if (a.orbit.g != b.orbit.g) return a.orbit.g < b.orbit.g;
  if (a.orbit.h != b.orbit.h) return a.orbit.h > b.orbit.h;
  if (a.orbit.k != b.orbit.k) return a.orbit.k > b.orbit.k;
  return a.orbit.l > b.orbit.l;
}

// Largest multiplicity first, then h, k, l descending.
bool family_precedes(const ReflectionOrbit& a, const ReflectionOrbit& b) {
  if (a.multiplicity != b.multiplicity) return a.multiplicity > b.multiplicity;
  if (a.h != b.h) return a.h > b.h;
  if (a.k != b.k) return a.k > b.k;
  return a.l > b.l;
}

// Only absurd inputs give an intensity that is not finite (an occupancy of
// 1e300, a form factor's coefficient of 1e300); scaling an infinity would
// drop every peak and report an empty pattern as a result.
[[noreturn]] void throw_beyond_any_atom(const ReflectionOrbit& orbit) {
  throw RequestError{
      "the intensity at reflection (" + std::to_string(orbit.h) + " " + std::to_string(orbit.k) +
      " " + std::to_string(orbit.l) +
      ") is not a finite number: an occupancy, displacement or scattering factor is far beyond "
      "any atom's"};
}

}  // namespace

PatternReflections pattern_reflections(const PatternRequest& request,
                                       const InterruptCheck& check_interrupt) {
  PatternReflections out;
  const PointGroup group = point_group(request, check_interrupt);
  out.point_group_order = group.rotations.size();
  // Friedel mates share a set even under anomalous dispersion: they share
  // their peak, and the set's intensity is then the mean of the two.
  const std::vector<IntMatrix3> equivalents = reflection_equivalents(group.rotations, true);
  out.orbits = reflection_orbits(request, equivalents, check_interrupt);
  for (const ReflectionOrbit& o : out.orbits)
    out.lattice_points += static_cast<size_t>(o.multiplicity);
  // Sets the space group extinguishes are neither computed nor listed: a
  // peak holds the families that diffract.
  std::erase_if(out.orbits, [&](const ReflectionOrbit& o) {
    return systematically_absent(group, o.h, o.k, o.l);
  });
  out.f_squared = squared_structure_factors(request, out.orbits, check_interrupt,
                                            /*bijvoet_mean=*/true);
  return out;
}

PeakTable compute_peak_table(const PatternRequest& request, const InterruptCheck& check_interrupt) {
  return peak_table_of(request, pattern_reflections(request, check_interrupt), nullptr);
}

PeakTable peak_table_of(const PatternRequest& request, const PatternReflections& found,
                        std::vector<PeakMember>* members) {
  PeakTable table;
  table.point_group_order = found.point_group_order;
  const std::vector<ReflectionOrbit>& orbits = found.orbits;
  const std::vector<double>& f_squared = found.f_squared;

  std::vector<Reflection> reflections;
  reflections.reserve(orbits.size());
  for (size_t i = 0; i < orbits.size(); ++i) {
    const double theta = std::asin((orbits[i].g * request.wavelength) * 0.5);
    const double lp = factor_at(request.radiation, request.monochromator_two_theta, theta);
    reflections.push_back(
        {orbits[i], i, (theta + theta) * degrees_per_radian, lp, lp * f_squared[i]});
  }
  table.reflections = found.lattice_points;
  table.unique_reflections = orbits.size();
  std::sort(reflections.begin(), reflections.end(), precedes);

  // Runs of reflections within the tolerance of the run's first 2θ.
  struct Run {
    size_t first, last;
    double intensity;
  };
  std::vector<Run> runs;
  for (size_t i = 0; i < reflections.size(); ++i) {
    const Reflection& r = reflections[i];
    const double total = r.intensity * r.orbit.multiplicity;
    if (!std::isfinite(total)) throw_beyond_any_atom(r.orbit);
    if (!runs.empty() && std::fabs(r.two_theta - reflections[runs.back().first].two_theta) <
                             request.merge_tolerance) {
      runs.back().last = i + 1;
      runs.back().intensity += total;
      if (!std::isfinite(runs.back().intensity)) throw_beyond_any_atom(r.orbit);
    } else {
      runs.push_back({i, i + 1, total});
    }
  }

  double largest = -std::numeric_limits<double>::infinity();
  for (const Run& run : runs) {
    if (!std::isnan(run.intensity) && !(largest > run.intensity)) largest = run.intensity;
  }
  std::vector<ReflectionOrbit> families;
  for (const Run& run : runs) {
    // Division first, as the exhaustive route scales.
    const double scaled = largest == 0.0 ? run.intensity : run.intensity / largest * 100.0;
    if (!(scaled >= request.relative_threshold)) continue;
    const Reflection& anchor = reflections[run.first];
    table.two_theta.push_back(anchor.two_theta);
    table.d.push_back(1.0 / anchor.orbit.g);
    table.intensity.push_back(scaled);
    table.absolute_intensity.push_back(run.intensity);
    table.lorentz_polarisation.push_back(anchor.lorentz_polarisation);
    families.clear();
    int64_t multiplicity = 0;
    for (size_t i = run.first; i < run.last; ++i) {
      families.push_back(reflections[i].orbit);
      multiplicity += reflections[i].orbit.multiplicity;
      if (members) {
        members->push_back({table.two_theta.size() - 1, reflections[i].index,
                            reflections[i].lorentz_polarisation});
      }
    }
    std::sort(families.begin(), families.end(), family_precedes);
    for (const ReflectionOrbit& f : families) {
      table.family_hkl.insert(table.family_hkl.end(), {f.h, f.k, f.l});
      table.family_multiplicity.push_back(f.multiplicity);
    }
    table.multiplicity.push_back(multiplicity);
    table.family_offsets.push_back(static_cast<int64_t>(table.family_multiplicity.size()));
  }
  return table;
}

std::vector<double> lorentz_polarisation_at(std::span<const double> two_theta, Radiation radiation,
                                            double monochromator_two_theta) {
  std::vector<double> factors;
  factors.reserve(two_theta.size());
  for (const double angle : two_theta) {
    factors.push_back(
        factor_at(radiation, monochromator_two_theta, (angle * radians_per_degree) * 0.5));
  }
  return factors;
}

}  // namespace peakforge::pattern
