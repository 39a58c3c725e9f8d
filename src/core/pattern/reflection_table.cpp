#include "pattern/reflection_table.hpp"

#include <algorithm>  // for sort
#include <cmath>      // for asin

#include "pattern/reflection_orbits.hpp"
#include "pattern/structure_factors.hpp"

namespace peakforge::pattern {

ReflectionTable compute_reflection_table(const PatternRequest& request,
                                         const InterruptCheck& check_interrupt) {
  constexpr double degrees_per_radian = 57.29577951308232;
  ReflectionTable table;
  table.symmetry = point_group(request, check_interrupt);
  const std::vector<IntMatrix3> equivalents =
      reflection_equivalents(table.symmetry.rotations, !request.anomalous);
  std::vector<ReflectionOrbit> orbits = reflection_orbits(request, equivalents, check_interrupt);
  std::sort(orbits.begin(), orbits.end(), [](const ReflectionOrbit& a, const ReflectionOrbit& b) {
    if (a.g != b.g) return a.g < b.g;
    if (a.h != b.h) return a.h > b.h;
    if (a.k != b.k) return a.k > b.k;
    return a.l > b.l;
  });
  std::vector<ReflectionOrbit> allowed;
  std::vector<size_t> allowed_at;
  for (size_t i = 0; i < orbits.size(); ++i) {
    const ReflectionOrbit& o = orbits[i];
    const bool absent = systematically_absent(table.symmetry, o.h, o.k, o.l);
    table.absent.push_back(absent ? 1 : 0);
    if (!absent) {
      allowed.push_back(o);
      allowed_at.push_back(i);
    }
    table.hkl.insert(table.hkl.end(), {o.h, o.k, o.l});
    table.multiplicity.push_back(o.multiplicity);
    table.d.push_back(1.0 / o.g);
    const double theta = std::asin((o.g * request.wavelength) * 0.5);
    table.two_theta.push_back((theta + theta) * degrees_per_radian);
  }
  const std::vector<double> f_squared =
      squared_structure_factors(request, allowed, check_interrupt);
  table.f_squared.assign(orbits.size(), 0.0);
  for (size_t i = 0; i < allowed.size(); ++i) table.f_squared[allowed_at[i]] = f_squared[i];
  return table;
}

}  // namespace peakforge::pattern
