// Merging of runs of consecutive diffraction peaks whose 2 theta lies closer
// than a tolerance to the 2 theta of the run's first peak (its anchor).
#pragma once

#include <cstdint>  // for int32_t
#include <vector>

namespace peakforge {

using MillerIndex = std::vector<int32_t>;  // any length, carried through unchanged

// One entry per merged peak, in the input order of their first peaks.
struct MergedPeaks {
  std::vector<double> two_thetas;              // the anchor angle
  std::vector<double> intensities;             // running sum over the members
  std::vector<std::vector<MillerIndex>> hkls;  // the members' indices, in input order
  std::vector<double> d_hkls;                  // d of the first member
};

// One forward pass over two_thetas; no sorting. The other lists are indexed
// as the pass needs them (d_hkls only for a peak that opens a group), so a
// short list fails with the index message at the first entry it lacks.
// `hkls` is taken by value: each entry is read exactly once and moved into
// its group instead of being copied.
MergedPeaks merge_peaks(const std::vector<double>& two_thetas,
                        const std::vector<double>& intensities, std::vector<MillerIndex> hkls,
                        const std::vector<double>& d_hkls, double tolerance);

}  // namespace peakforge
