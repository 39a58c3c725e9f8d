// Pairs of atoms closer than a short distance in a periodic cell, through a
// cell list: the atoms are sorted into a grid of bins at least `radius` wide
// (measured across the lattice planes), so only the 27 bins around each atom
// are searched and the work grows with the number of atoms, not its square.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int64_t
#include <vector>

#include "structure/structure_types.hpp"

namespace peakforge::structure {

// Candidate pairs examined at most; beyond it the atoms pile up on each
// other far more than any real structure does.
inline constexpr size_t max_candidate_pairs = 5'000'000;

struct ClosePairs {
  std::vector<int64_t> first, second;  // first < second, sorted by (first, second)
  std::vector<double> distance;        // Å, over the periodic images
};

// Every pair of atoms closer than `radius` Å. Up to `single_bin_pairs` pair
// images (pairs × 27) every pair is compared, without bins or the candidate
// bound. Throws AssemblyError when the candidates exceed max_candidate_pairs.
ClosePairs close_pairs(const Matrix3& lattice, const std::vector<Vector3>& frac, double radius,
                       size_t single_bin_pairs = 1'000'000);

// Distance (Å) from `a` to the nearest periodic image of `b` (both fractional).
// The shortest image is the rounded difference or one of its 26 neighbours
// (needed in strongly oblique cells).
class PeriodicDistance {
 public:
  explicit PeriodicDistance(const Matrix3& lattice);
  double operator()(const Vector3& a, const Vector3& b) const;

 private:
  Matrix3 lattice_;
  std::array<Vector3, 27> shifts_{};
  std::array<double, 27> lengths_{};
};

}  // namespace peakforge::structure
