// The profile kernel's vector math: exp and atan within a unit or two in the
// last place of the C library's, every lane of four giving the bits of the
// scalar path whatever its neighbours hold, and the binned profile's refusals.
#include <algorithm>  // for max
#include <bit>        // for bit_cast
#include <cmath>      // for exp, atan, signbit
#include <cstdint>    // for int64_t
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "profile/binned_profile.hpp"
#include "profile/lane_math.hpp"

using namespace peakforge::profile;
using test_support::check;

namespace {

// Distance in units in the last place between two finite doubles of one sign.
int64_t ulps(double a, double b) {
  const int64_t x = std::bit_cast<int64_t>(a), y = std::bit_cast<int64_t>(b);
  return x > y ? x - y : y - x;
}

std::vector<double> samples(double lo, double hi, size_t count, unsigned seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> pick(lo, hi);
  std::vector<double> out(count);
  for (double& x : out) x = pick(random);
  return out;
}

void test_exp_and_atan_accuracy() {
  int64_t worst_exp = 0, worst_atan = 0;
  for (double x : samples(-700.0, 700.0, 200000, 1)) {
    worst_exp = std::max(worst_exp, ulps(lane_exp<ScalarLane>(x), std::exp(x)));
  }
  for (double x : samples(-60.0, 60.0, 200000, 2)) {
    const double value = lane_atan<ScalarLane>(x);
    if (x != 0.0) worst_atan = std::max(worst_atan, ulps(value, std::atan(x)));
  }
  check(worst_exp <= 2, "exp within 2 ulp of the C library's, worst " + std::to_string(worst_exp));
  check(worst_atan <= 2,
        "atan within 2 ulp of the C library's, worst " + std::to_string(worst_atan));
  // Subnormal results round once; far below they are 0, as the true value rounds.
  check(lane_exp<ScalarLane>(-1000.0) == 0.0, "exp(-1000) is 0");
  check(ulps(lane_exp<ScalarLane>(-740.0), std::exp(-740.0)) <= 1,
        "exp(-740) a subnormal within 1 ulp");
  check(lane_atan<ScalarLane>(-0.0) == 0.0 && std::signbit(lane_atan<ScalarLane>(-0.0)),
        "atan(-0) is -0");
  check(ulps(lane_atan<ScalarLane>(1e300), std::atan(1e300)) <= 1, "atan of a huge value is pi/2");
}

void test_lanes_give_the_scalar_bits() {
  // Each input in every lane among other values: the same bits as the scalar path.
  const std::vector<double> inputs = samples(-40.0, 40.0, 4000, 3);
  const std::vector<double> garbage = samples(-800.0, 800.0, 4, 4);
  bool same = true;
  for (double x : inputs) {
    for (int lane = 0; lane < 4; ++lane) {
      double in[4] = {garbage[0], garbage[1], garbage[2], garbage[3]}, out_exp[4], out_atan[4];
      in[lane] = x;
      X4Lane::store(out_exp, lane_exp<X4Lane>(X4Lane::load(in)));
      X4Lane::store(out_atan, lane_atan<X4Lane>(X4Lane::load(in)));
      same = same &&
             std::bit_cast<int64_t>(out_exp[lane]) ==
                 std::bit_cast<int64_t>(lane_exp<ScalarLane>(x)) &&
             std::bit_cast<int64_t>(out_atan[lane]) ==
                 std::bit_cast<int64_t>(lane_atan<ScalarLane>(x));
    }
  }
  check(same, "exp and atan in any lane of four give the scalar bits");
}

void test_profile_is_the_same_whatever_the_window_start() {
  // A peak's bins come out alike however its window falls on the vectors of four.
  std::vector<double> edges;
  for (int i = 0; i <= 400; ++i) edges.push_back(20.0 + 0.05 * i);
  PeakColumns one{{25.0}, {0.2}, {0.4}, {10.0}, {0.1}, {0}, {400}};
  PeakColumns shifted = one;
  shifted.first = {1};
  auto none = [] {};
  const BinnedProfile a = binned_profile(edges, one, {}, 0, none),
                      b = binned_profile(edges, shifted, {}, 0, none);
  bool same = true;
  for (size_t i = 1; i < 400; ++i) same = same && a.values[i] == b.values[i];
  check(same, "the same bins from windows starting one edge apart");
}

void test_refusals() {
  std::vector<double> edges = {0.0, 1.0, 2.0};
  auto refused = [&](PeakColumns peaks, const std::vector<double>& chain, size_t parameters,
                     const std::string& what) {
    try {
      binned_profile(edges, peaks, chain, parameters, [] {});
      check(false, what + " refused");
    } catch (const ProfileError&) {
      check(true, what + " refused");
    }
  };
  const PeakColumns good{{1.0}, {0.5}, {0.5}, {1.0}, {0.0}, {0}, {2}};
  PeakColumns outside = good;
  outside.last = {3};
  refused(outside, {}, 0, "a window past the last edge");
  PeakColumns wide = good;
  wide.fwhm = {0.0};
  refused(wide, {}, 0, "a zero width");
  PeakColumns skewed = good;
  skewed.asymmetry = {1.0};
  refused(skewed, {}, 0, "an asymmetry of 1");
  refused(good, std::vector<double>(4, 0.0), 1, "a chain of the wrong size");
  edges = {0.0, 1.0, 1.0};
  refused(good, {}, 0, "edges that do not increase");
}

}  // namespace

int main() {
  test_exp_and_atan_accuracy();
  test_lanes_give_the_scalar_bits();
  test_profile_is_the_same_whatever_the_window_start();
  test_refusals();
  return test_support::tally();
}
