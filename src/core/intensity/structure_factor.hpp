// The structure-factor sum F = sum_j w_j exp(2 pi i (h x_j + k y_j + l z_j)),
// w_j = f_j occ_j D_j, as (Im, Re): the scalar variant, and the one-atom step
// that the 4-lane variant also uses for the atoms left over after its groups.
#pragma once

#include <cmath>    // for sin, cos
#include <cstddef>  // for size_t
#include <vector>

#include "base/panic.hpp"

namespace peakforge {

using Vector = std::vector<double>;

// (Im, Re) of the structure factor.
struct StructureFactor {
  double im;
  double re;
};

inline constexpr double two_pi = 6.283185307179586;

// Adds atom j to `sum` with the C library's sin and cos. The per-atom arrays
// are read in a fixed order (y, z, f, occ, D), so a short array always fails
// with the same message.
inline void add_atom(double h, double k, double l, const Vector& x, const Vector& y,
                     const Vector& z, const Vector& f, const Vector& occ, const Vector& dw,
                     size_t j, StructureFactor& sum) {
  const double yj = at(y, j), zj = at(z, j);
  const double fj = at(f, j), occj = at(occ, j), dwj = at(dw, j);
  const double phase = two_pi * ((h * x[j] + k * yj) + l * zj);
  const double weight = (fj * occj) * dwj;
  sum.im = sum.im + weight * std::sin(phase);
  sum.re = sum.re + weight * std::cos(phase);
}

// Left-to-right sum over atoms 0..n-1 (n at most x.size()); reads nothing,
// not even hkl, when n is 0.
StructureFactor structure_factor(const Vector& hkl, const Vector& x, const Vector& y,
                                 const Vector& z, const Vector& f, const Vector& occ,
                                 const Vector& dw, size_t n);

}  // namespace peakforge
