// Which of the given space-group operations the atoms actually follow, and
// the rotations that make reflections equivalent.
//
// The operations normally come from the file that built the atoms, but a
// file's sites may be rounded (0.3333 for 1/3), and its expansion may have
// merged images near special positions; an operation is kept only when it
// maps every atom onto an atom of the same kind within 0.01 Å and leaves the
// cell's metric unchanged. What is kept is a group, so intensities computed
// once per equivalent set equal those of the whole list of atoms. Atoms given
// without operations (a P1 file, plain arrays) have their symmetry found.
#pragma once

#include <vector>

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

// Distance within which an operation's image of an atom must meet an atom.
inline constexpr double site_tolerance = 0.01;  // Å

struct PointGroup {
  std::vector<IntMatrix3> rotations;  // acting on fractional coordinates, identity first
  // For rotations[i], a translation t (fractions of the cell edges) such that
  // the atoms follow x' = R x + t; unknown (false in `translation_known`) when
  // none could be settled as a fraction with a denominator up to 48, and then
  // that rotation extinguishes nothing.
  std::vector<Vector3> translations;
  std::vector<bool> translation_known;
  // The pure translations (other than the lattice's) the atoms follow: the
  // centring of the cell, or the shifts of a supercell.
  std::vector<Vector3> centring;
};

// The point group of the crystal as far as the atoms follow it. With
// operations given: the rotations of the largest group they generate that
// the atoms follow. Without: the rotations of the lattice's holohedry in the
// cell's own axes (cubic and hexagonal candidates, those keeping the metric)
// under which the atoms, shifted by some translation, map onto themselves.
// The search is counted against request.max_work (WorkLimitError beyond it)
// and calls `check_interrupt` every few milliseconds.
PointGroup point_group(const PatternRequest& request, const InterruptCheck& check_interrupt = {});

// True when the space group of `group` extinguishes the reflection h: some
// operation (R, t) the atoms follow has h R = h and h·t not whole, so that
// F(h) = exp(2πi h·t) F(h) = 0 whatever the atoms.
bool systematically_absent(const PointGroup& group, int32_t h, int32_t k, int32_t l);

// The rotations of a point group (as point_group gives them) as they act on
// Miller indices (row vectors, h' = h R); with `friedel`, also each
// rotation's negative. The identity comes first.
std::vector<IntMatrix3> reflection_equivalents(const std::vector<IntMatrix3>& rotations,
                                               bool friedel);

}  // namespace peakforge::pattern
