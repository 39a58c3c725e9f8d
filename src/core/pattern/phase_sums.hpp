// The structure-factor sum by tables of phase factors.
//
// exp(2πi (h x + k y + l z)) = X_h · Y_k · Z_l with X_h = exp(2πi h x) and so
// on: one table row per index value and atom, computed once per pattern.
// For a run of reflections sharing h and k, A = X_h · Y_k is formed once and
// each reflection costs one complex product per atom instead of a sine and a
// cosine. Atom arrays are padded to a multiple of `lane_block` with atoms of
// weight 0, so the vector loops have no remainder.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t
#include <vector>

namespace peakforge::pattern {

inline constexpr size_t lane_block = 8;

inline size_t padded(size_t n) { return (n + lane_block - 1) / lane_block * lane_block; }

struct ComplexSum {
  double re = 0.0, im = 0.0;
};

// exp(2πi n u_j) for every entry u_j of `u` (already padded) and every n in
// [first, last], one row per n.
class PhaseTable {
 public:
  PhaseTable() = default;
  PhaseTable(const std::vector<double>& u, int32_t first, int32_t last, bool use_simd);
  const double* re(int32_t n) const { return re_.data() + row(n); }
  const double* im(int32_t n) const { return im_.data() + row(n); }

 private:
  size_t row(int32_t n) const { return static_cast<size_t>(n - first_) * stride_; }
  int32_t first_ = 0;
  size_t stride_ = 0;
  std::vector<double> re_, im_;
};

// a_j = x_j · y_j for j < count (count a multiple of lane_block).
void multiply_phases(const double* x_re, const double* x_im, const double* y_re, const double* y_im,
                     double* a_re, double* a_im, size_t count, bool use_simd);

// Σ w_j · a_j · e_j over j in [begin, end) (both multiples of lane_block).
ComplexSum weighted_phase_sum(const double* w, const double* a_re, const double* a_im,
                              const double* e_re, const double* e_im, size_t begin, size_t end,
                              bool use_simd);

}  // namespace peakforge::pattern
