// Unit tests of the pattern engine's core that Python cannot reach: the
// vector phase sums against their scalar loops, the phase tables against the
// C library, symmetry found from the atoms alone, and the extinctions that follow.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "pattern/crystal_symmetry.hpp"
#include "pattern/phase_sums.hpp"

#include "check.hpp"  // the tests' assertion

namespace {

using namespace peakforge::pattern;

using test_support::check;

void test_vector_sums_match_scalar_loops() {
  std::mt19937_64 random(5);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const size_t n = 64;
  std::vector<double> v[7];
  for (auto& column : v) {
    column.resize(n);
    for (double& x : column) x = uniform(random);
  }
  std::vector<double> simd_re(n), simd_im(n), plain_re(n), plain_im(n);
  multiply_phases(v[0].data(), v[1].data(), v[2].data(), v[3].data(), simd_re.data(),
                  simd_im.data(), n, true);
  multiply_phases(v[0].data(), v[1].data(), v[2].data(), v[3].data(), plain_re.data(),
                  plain_im.data(), n, false);
  double worst = 0.0;
  for (size_t j = 0; j < n; ++j)
    worst =
        std::fmax(worst, std::fabs(simd_re[j] - plain_re[j]) + std::fabs(simd_im[j] - plain_im[j]));
  check(worst < 1e-15, "multiply_phases: vector and scalar products agree to rounding");
  const ComplexSum a = weighted_phase_sum(v[4].data(), simd_re.data(), simd_im.data(), v[5].data(),
                                          v[6].data(), 8, n, true);
  const ComplexSum b = weighted_phase_sum(v[4].data(), simd_re.data(), simd_im.data(), v[5].data(),
                                          v[6].data(), 8, n, false);
  check(std::fabs(a.re - b.re) < 1e-13 && std::fabs(a.im - b.im) < 1e-13,
        "weighted_phase_sum: vector and scalar sums agree to rounding over [8, 64)");
}

void test_phase_table_rows() {
  std::vector<double> u = {0.0, 0.125, 0.3333333333333333, 0.7, -0.2, 12.34, 0.5, 0.999};
  const PhaseTable simd(u, -40, 40, true), plain(u, -40, 40, false);
  double worst = 0.0;
  for (int32_t n = -40; n <= 40; ++n) {
    for (size_t j = 0; j < u.size(); ++j) {
      const double phase = 6.283185307179586 * static_cast<double>(n) * u[j];
      worst = std::fmax(worst, std::fabs(simd.re(n)[j] - std::cos(phase)) +
                                   std::fabs(simd.im(n)[j] - std::sin(phase)));
      worst = std::fmax(worst, std::fabs(plain.re(n)[j] - simd.re(n)[j]) +
                                   std::fabs(plain.im(n)[j] - simd.im(n)[j]));
    }
  }
  check(worst < 1e-12,
        "PhaseTable: exp(2 pi i n u) to 1e-12 for |n| <= 40, vector and scalar rows alike");
}

void test_symmetry_found_from_atoms() {
  PatternRequest request;
  const double a = 5.64;
  request.reciprocal = {{{1 / a, 0, 0}, {0, 1 / a, 0}, {0, 0, 1 / a}}};
  request.species.resize(2);
  // Rock salt with its origin moved: m-3m, found with a translation.
  const double fcc[4][3] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  for (int species = 0; species < 2; ++species) {
    for (const auto& p : fcc) {
      Atom atom;
      atom.species = species;
      for (size_t i = 0; i < 3; ++i) atom.frac[i] = p[i] + 0.5 * species + 0.1;
      request.atoms.push_back(atom);
    }
  }
  check(point_group(request).rotations.size() == 48,
        "rock salt without operations: 48 rotations found");
  check(reflection_equivalents(point_group(request).rotations, true).size() == 48,
        "rock salt: Friedel's law adds nothing to a centrosymmetric group");
  request.atoms[0].frac[0] += 0.05;  // 0.28 Å off: only the rotations keeping x fixed remain
  check(point_group(request).rotations.size() == 8,
        "one atom moved along x: 4mm about x, 8 rotations");
  request.atoms[0].frac[1] += 0.03;
  const std::vector<IntMatrix3> none = point_group(request).rotations;
  check(none.size() <= 2, "an atom moved off every axis leaves at most a mirror");
  check(reflection_equivalents(none, true).size() == 2 * none.size(),
        "Friedel's law doubles a group without -1");
}

// Extinctions: the F-centring of the rock salt found from its atoms, and a
// 2₁ screw given before the identity (whose rotation once went unused).
void test_extinctions_from_found_and_given_operations() {
  PatternRequest request;
  const double a = 5.64;
  request.reciprocal = {{{1 / a, 0, 0}, {0, 1 / a, 0}, {0, 0, 1 / a}}};
  request.species.resize(2);
  const double fcc[4][3] = {{0, 0, 0}, {0, 0.5, 0.5}, {0.5, 0, 0.5}, {0.5, 0.5, 0}};
  for (int species = 0; species < 2; ++species) {
    for (const auto& p : fcc) {
      Atom atom;
      atom.species = species;
      for (size_t i = 0; i < 3; ++i) atom.frac[i] = p[i] + 0.5 * species;
      request.atoms.push_back(atom);
    }
  }
  const PointGroup rock_salt = point_group(request);
  check(rock_salt.centring.size() >= 2, "rock salt without operations: the face centring found");
  check(systematically_absent(rock_salt, 1, 0, 0) && systematically_absent(rock_salt, 2, 1, 0) &&
            !systematically_absent(rock_salt, 1, 1, 1) &&
            !systematically_absent(rock_salt, 2, 0, 0),
        "rock salt: h, k, l of mixed parity extinguished, (1 1 1) and (2 0 0) allowed");

  PatternRequest p21;
  p21.reciprocal = {{{1 / 5.0, 0, 0}, {0, 1 / 6.0, 0}, {0, 0, 1 / 7.0}}};
  p21.species.resize(1);
  Atom atom;
  atom.frac = {0.11, 0.23, 0.37};
  p21.atoms.push_back(atom);
  atom.frac = {-0.11, 0.73, -0.37};
  p21.atoms.push_back(atom);
  p21.operations.push_back({{-1, 0, 0, 0, 1, 0, 0, 0, -1}, {0.0, 0.5, 0.0}});  // -x, y+1/2, -z
  p21.operations.push_back({{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0.0, 0.0, 0.0}});
  const PointGroup screw = point_group(p21);
  check(screw.rotations.size() == 2, "P2_1 with the screw listed first: both rotations kept");
  check(systematically_absent(screw, 0, 1, 0) && !systematically_absent(screw, 0, 2, 0) &&
            !systematically_absent(screw, 1, 1, 0),
        "P2_1: (0 k 0) with k odd extinguished, nothing else");
}

}  // namespace

int main() {
  test_vector_sums_match_scalar_loops();
  test_phase_table_rows();
  test_symmetry_found_from_atoms();
  test_extinctions_from_found_and_given_operations();
  return test_support::tally();
}
