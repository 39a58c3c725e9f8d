// Reflections of one call whose intensity another, earlier reflection
// already gives, bit for bit: the same g (by its bits) and indices equal to
// the earlier one's or all three negated (compared as values, so -0 matches
// 0). Negating every index negates every phase exactly, and the sine is odd
// and the cosine even, by construction in the vector sine/cosine and in the
// C library's (a unit test checks the latter); so Im changes sign, Re stays,
// and |F|^2 keeps its bits. Only a NaN in the sum breaks the mirror (its sign
// bit may follow the operand order), so a mate of a NaN result is computed
// afresh. A mate never fails where its earlier reflection did not: it reads
// the same data.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for SIZE_MAX
#include <vector>

#include "intensity/structure_factor.hpp"

namespace peakforge {

inline constexpr size_t no_mate = SIZE_MAX;

// For each reflection, the first earlier one it mirrors or repeats, or
// no_mate. Reflections past the end of g_hkls, with fewer than three
// indices, or with a NaN index have none.
std::vector<size_t> find_mates(const IndexVectors& hkls, const Vector& g_hkls);

}  // namespace peakforge
