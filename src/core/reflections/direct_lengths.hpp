// Lengths of the direct basis vectors a, b, c dual to a reciprocal basis
// a*, b*, c*: what bounds the Miller indices of a shell of reflections.
//
// A reflection h a* + k b* + l c* of length g has h = g·a (and k = g·b,
// l = g·c), so |h| ≤ g |a|. For an orthogonal cell |a| = 1/|a*|; for an
// oblique one |a| is larger (a monoclinic cell with β = 120° has
// |a| |a*| = 1/sin β = 1.15), and a walk bounded by max_g / |a*| misses the
// reflections of the shell with the largest indices.
#pragma once

#include <array>
#include <cmath>  // for sqrt, isfinite

namespace peakforge {

// |a|, |b|, |c| for the rows a*, b*, c*: a = (b* × c*) / V* and its cyclic
// permutations, V* = a*·(b* × c*). NaN for each when the basis is singular or
// holds a value that is not finite, so that callers keep another bound.
inline std::array<double, 3> direct_lengths(
    const std::array<std::array<double, 3>, 3>& reciprocal) {
  const auto cross = [](const std::array<double, 3>& u, const std::array<double, 3>& v) {
    return std::array<double, 3>{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                                 u[0] * v[1] - u[1] * v[0]};
  };
  const std::array<double, 3> bc = cross(reciprocal[1], reciprocal[2]);
  const std::array<double, 3> ca = cross(reciprocal[2], reciprocal[0]);
  const std::array<double, 3> ab = cross(reciprocal[0], reciprocal[1]);
  const double volume =
      reciprocal[0][0] * bc[0] + reciprocal[0][1] * bc[1] + reciprocal[0][2] * bc[2];
  const double nan = std::nan("");
  if (!std::isfinite(volume) || volume == 0.0) return {nan, nan, nan};
  const auto length = [&](const std::array<double, 3>& v) {
    return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) / std::fabs(volume);
  };
  return {length(bc), length(ca), length(ab)};
}

}  // namespace peakforge
