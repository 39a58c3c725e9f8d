// Powder diffraction intensity of one reflection:
//   I = LP(theta) * |sum_j f_j occ_j exp(-B_j s^2) exp(2 pi i (h x_j + k y_j + l z_j))|^2
// with the Mott-Bethe form factor f_j = Z_j - 8 pi^2 a0 s^2 sum_k a_jk exp(-b_jk s^2),
// sin(theta) = lambda g / 2 and s = g / 2. Lengths in angstrom.
#pragma once

#include <cstddef>  // for size_t
#include <cstdint>  // for uint64_t
#include <optional>
#include <utility>  // for pair
#include <vector>

#include "intensity/aligned_vector.hpp"
#include "intensity/atom_columns.hpp"
#include "intensity/factor_tables.hpp"
#include "intensity/simd_width.hpp"
#include "intensity/structure_factor.hpp"

namespace peakforge {

struct IntensityInputs;

// Which structure-factor sum every reflection of the call uses.
enum class StructureFactorSum { scalar, four_lanes, eight_lanes };

// What every reflection of one call reads, built once from the converted
// inputs. Read-only while reflections are computed, so any number of threads
// may share it. It points into the inputs' g values, which must outlive it.
struct IntensityContext {
  explicit IntensityContext(const IntensityInputs& inputs);

  const Vector& g_hkls;
  double wavelength;
  StructureFactorSum sum;
  FactorTables factor_tables;  // distinct species and B values
  AtomColumns atoms;
};

// What reflection_intensity computes from g alone, kept for the next
// reflection with the same g (lists from a lattice walk come sorted by g).
struct FactorsAtG {
  std::optional<uint64_t> g_bits;  // the g these hold, by its bits; none yet
  double two_theta_degrees = 0.0;
  double lorentz_polarisation = 0.0;
  Vector species_form_factor;     // f of each distinct species
  Vector distinct_debye_waller;   // D of each distinct B
  AlignedVector<double> weights;  // w_j = (f_j occ_j) D_j of each atom
};

// Working space of reflection_intensity on one thread, made with its full
// size up front (on the calling thread, for the parallel walk), so that
// computing a reflection allocates nothing.
struct IntensityScratch {
  explicit IntensityScratch(const IntensityContext& context);
  FactorsAtG factors;
};

// (2 theta in degrees, intensity) of reflection i with index vector hkl.
std::pair<double, double> reflection_intensity(const IntensityContext& context, size_t i,
                                               IndexVector hkl, IntensityScratch& scratch);

}  // namespace peakforge
