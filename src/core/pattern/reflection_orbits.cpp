#include "pattern/reflection_orbits.hpp"

#include <array>
#include <cmath>   // for ceil, sqrt, isfinite
#include <cstdio>  // for snprintf
#include <string>

#include "reflections/direct_lengths.hpp"

namespace peakforge::pattern {
namespace {

// Half-width of the index box along one axis, as the exhaustive walk takes
// it: ceil(max_g / |v|) + 1, widened to ceil(max_g |a|) + 1 with |a| the
// length of the dual direct vector (`direct`), which an oblique cell needs
// to reach every reflection of the shell.
int32_t index_bound(const Vector3& v, double direct, double max_g) {
  const double s = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
  if (!(s > 0.0)) return 1;
  double ceiling = std::ceil(max_g / std::sqrt(s));
  const double reach = std::ceil(max_g * direct);
  if (reach > ceiling) ceiling = reach;  // false for a NaN reach
  if (!(ceiling <= 1e7)) {
    throw RequestError{
        "the shell of reflections is too large for the cell: "
        "use a longer wavelength or a smaller 2theta maximum"};
  }
  return static_cast<int32_t>(ceiling) + 1;
}

// A count for a message, in three significant digits ("4.2e+10").
std::string rounded(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

int negatives(int32_t h, int32_t k, int32_t l) { return (h < 0) + (k < 0) + (l < 0); }

// True when (h2, k2, l2) is the better representative than (h1, k1, l1).
bool reads_better(int32_t h1, int32_t k1, int32_t l1, int32_t h2, int32_t k2, int32_t l2) {
  const int n1 = negatives(h1, k1, l1), n2 = negatives(h2, k2, l2);
  if (n1 != n2) return n2 < n1;
  if (h1 != h2) return h2 > h1;
  if (k1 != k2) return k2 > k1;
  return l2 > l1;
}

// Candidates walked between two interrupt checks: about ten milliseconds.
// The count runs inside the rows, since one row of a long cell axis can
// hold millions of candidates.
constexpr size_t candidates_per_check = size_t{1} << 22;

}  // namespace

std::vector<ReflectionOrbit> reflection_orbits(const PatternRequest& request,
                                               const std::vector<IntMatrix3>& equivalents,
                                               const InterruptCheck& check_interrupt) {
  const Vector3& a = request.reciprocal[0];
  const Vector3& b = request.reciprocal[1];
  const Vector3& c = request.reciprocal[2];
  const std::array<double, 3> direct = direct_lengths(request.reciprocal);
  const int32_t H = index_bound(a, direct[0], request.max_g);
  const int32_t K = index_bound(b, direct[1], request.max_g);
  const int32_t L = index_bound(c, direct[2], request.max_g);
  const double min_g = request.min_g, max_g = request.max_g, lambda = request.wavelength;
  const int32_t order = static_cast<int32_t>(equivalents.size());
  const double box = (2.0 * H + 1.0) * (2.0 * K + 1.0) * (2.0 * L + 1.0) - 1.0;
  if (!(box <= request.max_walk)) {
    throw RequestError{"the shell of reflections spans " + rounded(box) +
                       " index triples, more than the limit of " + rounded(request.max_walk) +
                       ": use a longer wavelength or a smaller 2theta maximum, or raise the limit"};
  }

  std::vector<ReflectionOrbit> orbits;
  size_t walked = 0;
  for (int32_t h = -H; h <= H; ++h) {
    const double hd = h;
    const Vector3 ha = {hd * a[0], hd * a[1], hd * a[2]};
    for (int32_t k = -K; k <= K; ++k) {
      const double kd = k;
      const Vector3 hk = {ha[0] + kd * b[0], ha[1] + kd * b[1], ha[2] + kd * b[2]};
      for (int32_t l = -L; l <= L; ++l) {
        if (++walked == candidates_per_check) {
          check_interrupt(0, 0);
          walked = 0;
        }
        if (h == 0 && k == 0 && l == 0) continue;
        const double ld = l;
        const double x = hk[0] + ld * c[0];
        const double y = hk[1] + ld * c[1];
        const double z = hk[2] + ld * c[2];
        // The same operations, in the same order, as the exhaustive walk.
        const double g = std::sqrt((x * x + y * y) + z * z);
        if (!(min_g <= g && g <= max_g)) continue;
        if (!(g * lambda * 0.5 < 1.0)) continue;  // 2θ = 180° cannot be measured
        int32_t stabiliser = 1;
        bool representative = true;
        for (int32_t e = 1; e < order; ++e) {
          const IntMatrix3& r = equivalents[static_cast<size_t>(e)];
          const int32_t h2 = h * r[0] + k * r[3] + l * r[6];
          const int32_t k2 = h * r[1] + k * r[4] + l * r[7];
          const int32_t l2 = h * r[2] + k * r[5] + l * r[8];
          if (h2 == h && k2 == k && l2 == l) {
            ++stabiliser;
          } else if (reads_better(h, k, l, h2, k2, l2)) {
            representative = false;
            break;
          }
        }
        if (representative) orbits.push_back({h, k, l, order / stabiliser, g});
      }
    }
  }
  return orbits;
}

}  // namespace peakforge::pattern
