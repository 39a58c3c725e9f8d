// The 8-lane AVX-512 loop of the SIMD structure factor, in its own
// translation unit compiled for AVX-512F, so that the rest of the module
// runs on processors without it. Call these only when
// platform::avx512f_usable() holds. The header is plain C++: nothing in it
// may be compiled for AVX-512 in another translation unit.
#pragma once

#include <cstddef>  // for size_t

namespace peakforge {

// The four lane accumulators of the 4-atom groups, as the 4-lane loop
// leaves them: lane m holds atoms m, m + 4, m + 8, ... added in that order.
struct LaneSums {
  double im[4];
  double re[4];
};

// Adds groups 0 .. groups-1 (atoms 0 .. 4 groups - 1) to `sums`, two
// consecutive groups per 512-bit vector; the two halves go into the
// accumulators in group order, so the bits are those of the 4-lane loop.
// x, y, z and weights start on a 64-byte boundary.
void add_groups_x8(double h, double k, double l, const double* x, const double* y, const double* z,
                   const double* weights, size_t groups, LaneSums& sums);

// sin and cos of eight phases (for the unit tests).
void sin_cos_x8(const double* phases, double* sines, double* cosines);

}  // namespace peakforge
