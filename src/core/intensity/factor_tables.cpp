#include "intensity/factor_tables.hpp"

#include <bit>    // for bit_cast
#include <cmath>  // for exp
#include <map>
#include <span>
#include <unordered_map>
#include <utility>  // for move

#include "base/panic.hpp"

namespace peakforge {
namespace {

uint64_t bits(double value) { return std::bit_cast<uint64_t>(value); }

void build_species(const std::vector<int32_t>& atomic_numbers,
                   const CoefficientLists& scattering_coeffs, FactorTables& tables) {
  std::map<std::vector<uint64_t>, size_t> known;
  std::vector<uint64_t> key;
  tables.species_of_atom.reserve(atomic_numbers.size());
  for (size_t j = 0; j < atomic_numbers.size(); ++j) {
    if (j >= scattering_coeffs.size()) {
      tables.form_factor_failure = FactorTables::ShortRead{scattering_coeffs.size(), j};
      return;
    }
    const size_t first = scattering_coeffs.pair_starts[j];
    const size_t end = scattering_coeffs.pair_starts[j + 1];
    key.assign(1, static_cast<uint64_t>(static_cast<uint32_t>(atomic_numbers[j])));
    for (size_t p = first; p < end; ++p) {
      const std::span<const double> pair = scattering_coeffs.pairs[p];
      if (pair.size() < 2) {
        // The walk reads component 0, then component 1.
        tables.form_factor_failure = FactorTables::ShortRead{pair.size(), pair.size()};
        return;
      }
      key.push_back(bits(pair[0]));
      key.push_back(bits(pair[1]));
    }
    auto [place, added] = known.try_emplace(key, tables.species.size());
    if (added) {
      FactorTables::Species species{static_cast<double>(atomic_numbers[j]), {}};
      for (size_t p = first; p < end; ++p) {
        species.pairs.push_back({scattering_coeffs.pairs[p][0], scattering_coeffs.pairs[p][1]});
      }
      tables.species.push_back(std::move(species));
    }
    tables.species_of_atom.push_back(place->second);
  }
}

void build_b_values(const Vector& dw_factors, FactorTables& tables) {
  std::unordered_map<uint64_t, size_t> known;
  tables.b_of_entry.reserve(dw_factors.size());
  for (double b : dw_factors) {
    auto [place, added] = known.try_emplace(bits(b), tables.distinct_b.size());
    if (added) tables.distinct_b.push_back(b);
    tables.b_of_entry.push_back(place->second);
  }
}

}  // namespace

FactorTables build_factor_tables(const std::vector<int32_t>& atomic_numbers,
                                 const CoefficientLists& scattering_coeffs,
                                 const Vector& dw_factors) {
  FactorTables tables;
  build_species(atomic_numbers, scattering_coeffs, tables);
  build_b_values(dw_factors, tables);
  return tables;
}

void species_form_factors(const FactorTables& tables, double s_squared, double mott_bethe_term,
                          Vector& out) {
  if (const auto& failure = tables.form_factor_failure) {
    panic_index(failure->len, failure->index);
  }
  out.resize(tables.species.size());
  for (size_t i = 0; i < tables.species.size(); ++i) {
    double sum = 0.0;
    for (const FactorTables::Pair& pair : tables.species[i].pairs) {
      sum = sum + std::exp(s_squared * -pair.b) * pair.a;
    }
    out[i] = tables.species[i].z - mott_bethe_term * sum;
  }
}

void distinct_debye_waller(const FactorTables& tables, double s_squared, Vector& out) {
  out.resize(tables.distinct_b.size());
  for (size_t i = 0; i < out.size(); ++i) out[i] = std::exp(s_squared * -tables.distinct_b[i]);
}

}  // namespace peakforge
