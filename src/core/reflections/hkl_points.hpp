// Reciprocal-lattice points of a shell: every h·a* + k·b* + l·c* with integer
// (h, k, l) ≠ (0, 0, 0) whose length g satisfies min_r ≤ g ≤ max_r, found by
// a brute-force walk over a box of indices and sorted by length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace peakforge {

// One accepted point: its Miller indices and its length.
struct HklPoint {
  int32_t h, k, l;
  double g;
};

// Thrown when max_r asks for an index box whose bound does not fit the 32-bit
// walk; the boundary raises it as ValueError with this message.
struct IndexBoxTooLarge {
  std::string message;
};

// Rows 0, 1, 2 of `recip_matrix` are a*, b*, c* (their first three entries;
// anything beyond is ignored). A missing row or entry is an internal failure
// with the index message. Sorted by g ascending, then h, k, l descending.
std::vector<HklPoint> generate_hkl_points(const std::vector<std::vector<double>>& recip_matrix,
                                          double max_r, double min_r);

}  // namespace peakforge
