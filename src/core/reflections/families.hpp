// Miller-index families: tuples that differ only by a permutation of their
// components combined with sign changes, i.e. tuples of the same length whose
// magnitude forms (absolute values sorted ascending) are equal.
#pragma once

#include <cstdint>
#include <vector>

namespace peakforge {

struct IndexFamily {
  std::vector<int32_t> representative;  // the lexicographically greatest member
  uint64_t count = 0;                   // members in the input, duplicates included
};

// One entry per family, in the order in which the families first appear in
// `hkls`, so the result does not vary between runs.
std::vector<IndexFamily> unique_families(const std::vector<std::vector<int32_t>>& hkls);

}  // namespace peakforge
