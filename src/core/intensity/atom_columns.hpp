// The atoms that enter the structure-factor sum, as columns built once per
// call: what both sums (scalar and SIMD) read for every reflection.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <optional>
#include <vector>

#include "intensity/aligned_vector.hpp"
#include "intensity/factor_tables.hpp"

namespace peakforge {

struct AtomColumns {
  // N, the length of frac_coords_x: atoms 0 .. N-1 enter the sum.
  size_t count = 0;
  // Set when a per-atom array is shorter than N: the length of the shortest.
  // The walk over the atoms reads y, z, the form factor, the occupancy and
  // the Debye-Waller factor of each atom in turn, so its first read past an
  // end is at that index, whichever array is short; every reflection that
  // reaches the sum fails with it. The columns below are then empty.
  std::optional<size_t> short_length;

  AlignedVector<double> x, y, z;  // fractional coordinates
  std::vector<size_t> species;    // the atom's entry among the distinct species
  Vector occupancy;
  std::vector<size_t> debye_waller_value;  // the atom's entry among the distinct B values
};

// `tables` come from the same call's atomic numbers, coefficient lists and B
// values (the form-factor walk's own failure is theirs, not the columns').
AtomColumns build_atom_columns(const Vector& frac_coords_x, const Vector& frac_coords_y,
                               const Vector& frac_coords_z, const Vector& occupancies,
                               const std::vector<int32_t>& atomic_numbers, const Vector& dw_factors,
                               const FactorTables& tables);

// w_j = (f_j occ_j) D_j for every atom, from the form factor of each species
// and the Debye-Waller factor of each distinct B at one s^2, into `weights`
// (sized by the caller to count). Nothing is read when short_length is set.
void atom_weights(const AtomColumns& atoms, const Vector& species_form_factor,
                  const Vector& distinct_debye_waller, AlignedVector<double>& weights);

}  // namespace peakforge
