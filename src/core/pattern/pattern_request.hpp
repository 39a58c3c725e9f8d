// What one pattern calculation takes and gives: a cell, its atoms, the
// symmetry operations that built them and the radiation in; one row per peak
// and the peaks' symmetry-equivalent families out. Plain values only, so the
// calculation can run on any thread without the interpreter.
#pragma once

#include <array>
#include <cstddef>  // for size_t
#include <cstdint>  // for int32_t, int64_t
#include <functional>
#include <limits>  // for numeric_limits
#include <string>
#include <vector>

namespace peakforge::pattern {

using Vector3 = std::array<double, 3>;
using Matrix3 = std::array<Vector3, 3>;
// A rotation acting on fractional coordinates, row-major: x' = R x.
using IntMatrix3 = std::array<int32_t, 9>;

enum class Radiation { xray, neutron, electron };

// How one chemical species scatters. X-rays: f = f0(s) + f' + i f'', with f0
// from the Mott–Bethe relation over the electron scattering factor given as
// (a, b) pairs; neutrons: f = the coherent scattering length (constant);
// electrons: the electron scattering factor Σ a exp(-b s²) itself (Å).
struct Species {
  double atomic_number = 0.0;
  std::vector<std::array<double, 2>> electron_pairs;  // (a in Å, b in Å²)
  double constant_re = 0.0;                           // f' (X-rays) or Re b (neutrons)
  double constant_im = 0.0;                           // f'' (X-rays) or Im b (neutrons)
};

struct Atom {
  Vector3 frac{};
  int32_t species = 0;
  double occupancy = 1.0;
  double b_iso = 0.0;  // Å², used unless `anisotropic`
  bool anisotropic = false;
  // Debye–Waller T(h) = exp(-(b11 h² + b22 k² + b33 l² + 2 b12 hk + 2 b13 hl
  // + 2 b23 kl)), in the order b11, b22, b33, b12, b13, b23.
  std::array<double, 6> beta{};
};

struct SymmetryOperation {
  IntMatrix3 rotation{};
  Vector3 translation{};
};

struct PatternRequest {
  Matrix3 reciprocal{};             // rows a*, b*, c* (Å⁻¹, no factor 2π)
  double wavelength = 0.0;          // Å
  double min_g = 0.0, max_g = 0.0;  // the shell of reflections, 1/d in Å⁻¹
  Radiation radiation = Radiation::xray;
  bool anomalous = false;  // complex f; a set of Friedel mates takes the mean of their two |F|²
  double monochromator_two_theta = 0.0;  // degrees; 0 = no monochromator
  std::vector<Species> species;
  std::vector<Atom> atoms;
  std::vector<SymmetryOperation> operations;  // empty: no symmetry but Friedel's
  double merge_tolerance = 1e-5;              // degrees of 2θ
  double relative_threshold = 1e-3;           // peaks below this (strongest = 100) are dropped
  // Largest box of index triples the reflection walk visits (infinity: no limit).
  double max_walk = std::numeric_limits<double>::infinity();
  bool parallel = true;
  size_t num_threads = 0;  // 0: automatic
  bool use_simd = true;
  // Largest calculation started, in reflection × atom terms; the symmetry
  // search of atoms given without operations counts against it too.
  double max_work = std::numeric_limits<double>::infinity();
};

// Columns of the peak table, in increasing 2θ; lorentz_polarisation is the
// factor at the peak's 2θ, so that |F|² × multiplicity is absolute_intensity
// over it. Peak i holds the families
// family_offsets[i] .. family_offsets[i + 1] - 1; family f's indices are
// family_hkl[3 f .. 3 f + 2].
struct PeakTable {
  std::vector<double> two_theta, d, intensity, absolute_intensity, lorentz_polarisation;
  std::vector<int64_t> multiplicity;
  std::vector<int32_t> family_hkl;
  std::vector<int64_t> family_multiplicity;
  std::vector<int64_t> family_offsets{0};
  size_t reflections = 0;         // lattice points in the shell
  size_t unique_reflections = 0;  // of which computed: one per equivalent set
  size_t point_group_order = 1;   // rotations of the symmetry the atoms follow
};

// A request that cannot be computed (bad shape of a value, a bound beyond the
// index range); the binding raises it as ValueError.
struct RequestError {
  std::string message;
};

// A calculation that would exceed request.max_work; the binding raises it as
// its WorkLimitError (a ValueError).
struct WorkLimitError {
  std::string message;
};

// Called between pieces of work on the calling thread with the reflections
// done so far and in all (both 0 while the reflections are still being
// listed); it throws to stop the calculation (the binding's check for a
// pending Ctrl-C does).
using InterruptCheck = std::function<void(size_t done, size_t total)>;

}  // namespace peakforge::pattern
