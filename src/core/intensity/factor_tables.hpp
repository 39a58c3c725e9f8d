// Atoms that share a form factor or a Debye-Waller factor, found once per
// call. A reflection then evaluates exp once per distinct (Z, coefficient
// list) and once per distinct B instead of once per atom: the same
// operations on the same operands, so the same bits.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <optional>
#include <vector>

#include "base/rows.hpp"

namespace peakforge {

using Vector = std::vector<double>;

// Every atom's list of coefficient pairs, in one block: the pairs of atom j
// are rows pair_starts[j] to pair_starts[j + 1] - 1 of `pairs`, and of each
// pair, component 0 is a and component 1 is b.
struct CoefficientLists {
  Rows<double> pairs;
  std::vector<size_t> pair_starts{0};

  size_t size() const { return pair_starts.size() - 1; }
  // Building: the pairs added since the last call belong to the next atom.
  void end_atom() { pair_starts.push_back(pairs.size()); }
};

struct FactorTables {
  struct Pair {
    double a, b;
  };
  struct Species {
    double z;
    std::vector<Pair> pairs;  // the first such atom's coefficient list
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
                                 const CoefficientLists& scattering_coeffs,
                                 const Vector& dw_factors);

// The Mott-Bethe form factor of every species at s^2 = `s_squared`,
//   f = Z - mott_bethe_term * sum over pairs (a, b) of exp(s^2 * -b) * a,
// with mott_bethe_term = 8 pi^2 a0 s^2, into `out` (one entry per species;
// sized by the caller). Fails here, as the walk over every atom's
// coefficient list would, when that walk reads past a vector.
void species_form_factors(const FactorTables& tables, double s_squared, double mott_bethe_term,
                          Vector& out);

// The Debye-Waller amplitude factor D = exp(s^2 * -B) of every distinct B,
// into `out` (one entry per distinct B; sized by the caller).
void distinct_debye_waller(const FactorTables& tables, double s_squared, Vector& out);

}  // namespace peakforge
