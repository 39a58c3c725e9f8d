// The structure factor F = sum_j w_j exp(2 pi i (h x_j + k y_j + l z_j)),
// with the weight w_j = (f_j occ_j) D_j, as (Im, Re): the scalar sum, and the
// one-atom step that the SIMD sums also use for the atoms left over after
// their 4-atom groups.
#pragma once

#include <cmath>    // for sin, cos
#include <cstddef>  // for size_t
#include <source_location>
#include <span>
#include <vector>

#include "base/panic.hpp"
#include "base/rows.hpp"
#include "intensity/atom_columns.hpp"

namespace peakforge {

using Vector = std::vector<double>;

// The index vectors of a call's reflections, and one of them: components 0, 1
// and 2 are h, k and l, further ones are ignored.
using IndexVectors = Rows<double>;
using IndexVector = std::span<const double>;

// (Im, Re) of the structure factor.
struct StructureFactor {
  double im;
  double re;
};

inline constexpr double two_pi = 6.283185307179586;

struct MillerIndex {
  double h, k, l;
};

// Components 0, 1 and 2 of a reflection's index vector; fails when it has
// fewer.
inline MillerIndex miller_index(IndexVector hkl,
                                std::source_location where = std::source_location::current()) {
  return {at(hkl, 0, where), at(hkl, 1, where), at(hkl, 2, where)};
}

// Fails as the first read past the end of a short per-atom array would.
inline void require_every_atom(const AtomColumns& atoms,
                               std::source_location where = std::source_location::current()) {
  if (atoms.short_length) panic_index(*atoms.short_length, *atoms.short_length, where);
}

// Adds atom j to `sum` with the C library's sin and cos:
//   phase = 2 pi ((h x_j + k y_j) + l z_j), Im += w_j sin(phase), Re += w_j cos(phase).
inline void add_atom(const MillerIndex& hkl, const AtomColumns& atoms, const double* weights,
                     size_t j, StructureFactor& sum) {
  const double phase = two_pi * ((hkl.h * atoms.x[j] + hkl.k * atoms.y[j]) + hkl.l * atoms.z[j]);
  sum.im = sum.im + weights[j] * std::sin(phase);
  sum.re = sum.re + weights[j] * std::cos(phase);
}

// Left-to-right sum over every atom, with `weights` from atom_weights; reads
// nothing, not even hkl, when there are no atoms.
StructureFactor structure_factor(IndexVector hkl, const AtomColumns& atoms, const double* weights);

}  // namespace peakforge
