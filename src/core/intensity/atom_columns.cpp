#include "intensity/atom_columns.hpp"

#include <algorithm>  // for min

namespace peakforge {

AtomColumns build_atom_columns(const Vector& frac_coords_x, const Vector& frac_coords_y,
                               const Vector& frac_coords_z, const Vector& occupancies,
                               const std::vector<int32_t>& atomic_numbers, const Vector& dw_factors,
                               const FactorTables& tables) {
  AtomColumns atoms;
  const size_t n = frac_coords_x.size();
  atoms.count = n;
  const size_t shortest = std::min({frac_coords_y.size(), frac_coords_z.size(),
                                    atomic_numbers.size(), occupancies.size(), dw_factors.size()});
  if (shortest < n) {
    atoms.short_length = shortest;
    return atoms;
  }
  // A failed form-factor walk leaves the species of later atoms unknown; no
  // reflection gets past that failure to the weights or the sum.
  if (tables.form_factor_failure) return atoms;
  atoms.x.assign(frac_coords_x.begin(), frac_coords_x.end());
  atoms.y.assign(frac_coords_y.begin(), frac_coords_y.begin() + n);
  atoms.z.assign(frac_coords_z.begin(), frac_coords_z.begin() + n);
  atoms.species.assign(tables.species_of_atom.begin(), tables.species_of_atom.begin() + n);
  atoms.occupancy.assign(occupancies.begin(), occupancies.begin() + n);
  atoms.debye_waller_value.assign(tables.b_of_entry.begin(), tables.b_of_entry.begin() + n);
  return atoms;
}

void atom_weights(const AtomColumns& atoms, const Vector& species_form_factor,
                  const Vector& distinct_debye_waller, AlignedVector<double>& weights) {
  if (atoms.short_length) return;
  const size_t n = atoms.count;
  weights.resize(n);
  const size_t* species = atoms.species.data();
  const size_t* dw = atoms.debye_waller_value.data();
  const double* occupancy = atoms.occupancy.data();
  const double* f = species_form_factor.data();
  const double* d = distinct_debye_waller.data();
  double* w = weights.data();
  for (size_t j = 0; j < n; ++j) w[j] = (f[species[j]] * occupancy[j]) * d[dw[j]];
}

}  // namespace peakforge
