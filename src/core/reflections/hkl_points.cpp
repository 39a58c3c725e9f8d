#include "reflections/hkl_points.hpp"

#include <algorithm>  // for sort
#include <array>
#include <cmath>  // for ceil, isnan, sqrt

#include "base/panic.hpp"
#include "reflections/direct_lengths.hpp"

namespace peakforge {
namespace {

using Row = std::array<double, 3>;

// Largest bound the walk takes: ceiling + 1 must still be a 32-bit integer.
constexpr double largest_ceiling = 2147483646.0;

// The leading 3×3 block, checked row by row: row r present, then its entries
// 0, 1, 2, so the failure names the first deficient row.
std::array<Row, 3> reciprocal_basis(const std::vector<std::vector<double>>& recip_matrix) {
  std::array<Row, 3> basis;
  for (size_t r = 0; r < 3; ++r) {
    const std::vector<double>& row = at(recip_matrix, r);
    for (size_t c = 0; c < 3; ++c) basis[r][c] = at(row, c);
  }
  return basis;
}

[[noreturn]] void refuse_box(int axis) {
  throw IndexBoxTooLarge{"max_r is too large for the length of reciprocal basis vector " +
                         std::to_string(axis) + ": the index bound would exceed 2147483646"};
}

// Half-width of the box along one axis: ceil(max_r / |v|) + 1, or 1 for a
// zero (or NaN) vector. The ceiling is converted with saturation (NaN → 0);
// one that would not leave room for the + 1 is refused. For an oblique
// basis that box misses points of the shell, so it is widened to
// ceil(max_r |a|) + 1 with |a| the length of the dual direct vector
// (`direct`; NaN for a singular basis, which keeps the first bound).
int32_t index_bound(const Row& v, double direct, double max_r, int axis) {
  const double s = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
  if (!(s > 0)) return 1;
  const double ceiling = std::ceil(max_r / std::sqrt(s));
  if (std::isnan(ceiling)) return 1;
  if (ceiling > largest_ceiling) refuse_box(axis);
  if (ceiling < -2147483648.0) return INT32_MIN + 1;
  const int32_t bound = static_cast<int32_t>(ceiling) + 1;
  const double reach = std::ceil(max_r * direct);
  if (!(reach > ceiling)) return bound;  // also for a NaN reach
  if (reach > largest_ceiling) refuse_box(axis);
  return static_cast<int32_t>(reach) + 1;
}

// g ascending; equal lengths (a point and its negative, symmetry-related
// points) by h, then k, then l descending. Plain double comparison, so
// -0.0 and 0.0 count as equal lengths.
bool precedes(const HklPoint& a, const HklPoint& b) {
  if (a.g != b.g) return a.g < b.g;
  if (a.h != b.h) return a.h > b.h;
  if (a.k != b.k) return a.k > b.k;
  return a.l > b.l;
}

}  // namespace

std::vector<HklPoint> generate_hkl_points(const std::vector<std::vector<double>>& recip_matrix,
                                          double max_r, double min_r) {
  const std::array<Row, 3> basis = reciprocal_basis(recip_matrix);
  const auto& [a, b, c] = basis;
  const std::array<double, 3> direct = direct_lengths(basis);
  const int32_t H = index_bound(a, direct[0], max_r, 0);
  const int32_t K = index_bound(b, direct[1], max_r, 1);
  const int32_t L = index_bound(c, direct[2], max_r, 2);

  std::vector<HklPoint> points;
  // A negative bound empties its range and with it the whole box.
  if (H < 0 || K < 0 || L < 0) return points;

  // 64-bit counters: h <= H must not overflow when H is INT32_MAX. The
  // partial sums h·a (per h) and h·a + k·b (per k) are hoisted out of the
  // inner loop; each product and sum is the same double operation, in the
  // same order, as x = (h·a[0] + k·b[0]) + l·c[0].
  for (int64_t h = -H; h <= H; ++h) {
    const double hd = static_cast<double>(h);
    const Row ha = {hd * a[0], hd * a[1], hd * a[2]};
    for (int64_t k = -K; k <= K; ++k) {
      const double kd = static_cast<double>(k);
      const Row hk = {ha[0] + kd * b[0], ha[1] + kd * b[1], ha[2] + kd * b[2]};
      const bool on_l_axis = h == 0 && k == 0;
      for (int64_t l = -L; l <= L; ++l) {
        if (on_l_axis && l == 0) continue;  // the origin, whatever its length
        const double ld = static_cast<double>(l);
        const double x = hk[0] + ld * c[0];
        const double y = hk[1] + ld * c[1];
        const double z = hk[2] + ld * c[2];
        const double g = std::sqrt((x * x + y * y) + z * z);
        // Both comparisons are false for NaN, so NaN lengths and bounds reject.
        if (min_r <= g && g <= max_r) {
          points.push_back(
              {static_cast<int32_t>(h), static_cast<int32_t>(k), static_cast<int32_t>(l), g});
        }
      }
    }
  }
  std::sort(points.begin(), points.end(), precedes);
  return points;
}

}  // namespace peakforge
