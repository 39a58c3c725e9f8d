// Plain values shared by the structure assembly: cells, positions and the
// symmetry operations that expand a file's sites to the whole cell.
#pragma once

#include <array>
#include <string>

namespace peakforge::structure {

using Vector3 = std::array<double, 3>;
// Lattice vectors a, b, c as rows (Å): Cartesian r = x a + y b + z c.
using Matrix3 = std::array<Vector3, 3>;

// x' = R x + t on fractional coordinates (R row-major), as written in a
// file's coordinate triplet.
struct Operation {
  std::array<double, 9> rotation{};
  Vector3 translation{};
};

// Input that cannot be assembled (atoms piled on each other beyond any real
// structure, say); the binding raises it as ValueError.
struct AssemblyError {
  std::string message;
};

// Cartesian vector of a fractional one: Σ_i x_i L_i.
inline Vector3 cartesian(const Vector3& x, const Matrix3& lattice) {
  Vector3 out{};
  for (size_t j = 0; j < 3; ++j)
    out[j] = x[0] * lattice[0][j] + x[1] * lattice[1][j] + x[2] * lattice[2][j];
  return out;
}

inline double norm_squared(const Vector3& v) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; }

}  // namespace peakforge::structure
