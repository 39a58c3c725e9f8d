// Atoms closer than a short distance, sorted out: close atoms whose
// occupancies add up to at most one share a site (mixed or split sites) and
// stay. Otherwise images of one listed site a little off a special position
// are merged into one atom, the same element listed twice at the same
// position is one atom (the later copy is dropped), and any other pair stays
// and is reported.
#pragma once

#include <cstdint>  // for int32_t, int64_t
#include <vector>

#include "structure/structure_types.hpp"

namespace peakforge::structure {

struct SiteCheckLimits {
  double close = 0.5;             // Å: closer atoms cannot both be present
  double same_position = 0.1;     // Å: closer atoms of one element are the same atom
  double occupancy_slack = 0.01;  // rounding of published occupancies
};

struct SiteCheckResult {
  std::vector<uint8_t> keep;  // per atom
  // Listed sites dropped as repeats of an earlier one: the dropped site, in
  // increasing order, and the earliest site it repeats.
  std::vector<int64_t> repeated_site, repeated_of;
  // Sites whose images were merged, in increasing order, with the largest
  // distance merged (Å).
  std::vector<int64_t> merged_site;
  std::vector<double> merged_distance;
  // Pairs of different sites that clash, sorted, with their shortest distance (Å).
  std::vector<int64_t> clash_first, clash_second;
  std::vector<double> clash_distance;
};

// `site_of` gives each atom's listed site (its symmetry origin).
SiteCheckResult check_close_sites(const Matrix3& lattice, const std::vector<Vector3>& frac,
                                  const std::vector<int32_t>& atomic_numbers,
                                  const std::vector<double>& occupancies,
                                  const std::vector<int64_t>& site_of,
                                  const SiteCheckLimits& limits);

}  // namespace peakforge::structure
