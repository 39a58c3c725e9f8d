// Every symmetry image of every listed site, wrapped into the unit cell.
// Images of one site that land within a tolerance of an earlier image of the
// same site (a site on a special position) count once.
#pragma once

#include <cstdint>  // for int32_t, int64_t
#include <vector>

#include "structure/structure_types.hpp"

namespace peakforge::structure {

struct Expansion {
  std::vector<Vector3> positions;     // fractional, each coordinate in [0, 1)
  std::vector<int64_t> site_of;       // the listed site each position is an image of
  std::vector<int32_t> operation_of;  // the operation that put it there
};

// Sites in order, and for each site its images in the order of the
// operations; an image is kept unless an earlier image of the same site
// (kept or not) lies within `tolerance` Å of it, over the periodic images.
Expansion expand_sites(const Matrix3& lattice, const std::vector<Vector3>& sites,
                       const std::vector<Operation>& operations, double tolerance);

}  // namespace peakforge::structure
