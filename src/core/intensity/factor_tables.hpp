// Atoms that share a form factor or a Debye-Waller factor, found once per
// call. A reflection then evaluates exp once per distinct (Z, coefficient
// list) and once per distinct B instead of once per atom: the same
// operations on the same operands, so the same bits.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <optional>
#include <vector>

namespace peakforge {

using Vector = std::vector<double>;

struct FactorTables {
  struct Species {
    double z;
    const std::vector<Vector>* pairs;  // the first such atom's coefficient list
  };
  // The first out-of-range read of the per-atom form-factor walk; every
  // reflection that reaches that walk fails with it.
  struct ShortRead {
    size_t len;
    size_t index;
  };

  std::vector<Species> species;
  std::vector<size_t> species_of_atom;  // per entry of atomic_numbers
  std::optional<ShortRead> form_factor_failure;
  Vector distinct_b;
  std::vector<size_t> b_of_entry;  // per entry of dw_factors
};

// Species are told apart by Z and by the bits of components 0 and 1 of every
// pair (further components are never read), B values by their bits.
FactorTables build_factor_tables(const std::vector<int32_t>& atomic_numbers,
                                 const std::vector<std::vector<Vector>>& scattering_coeffs,
                                 const Vector& dw_factors);

// f_j = Z_j - k * sum over pairs (a, b) of exp(s2 * -b) * a, for every entry
// of atomic_numbers, into `out`; `species_f` is scratch. Fails here if the
// walk over the atoms would read past a vector.
void fill_form_factors(const FactorTables& tables, double s2, double k, Vector& species_f,
                       Vector& out);

// D_j = exp(s2 * -B_j) for every entry of dw_factors, into `out`;
// `distinct_d` is scratch.
void fill_debye_waller(const FactorTables& tables, double s2, Vector& distinct_d, Vector& out);

}  // namespace peakforge
