#include "peaks/merge_peaks.hpp"

#include <cmath>    // for fabs
#include <utility>  // for move

#include "base/panic.hpp"

namespace peakforge {
namespace {

// The group being grown; only its anchor angle decides who joins.
struct OpenGroup {
  double anchor = 0.0;
  double intensity = 0.0;
  std::vector<MillerIndex> members;
  double spacing = 0.0;
};

}  // namespace

MergedPeaks merge_peaks(const std::vector<double>& two_thetas,
                        const std::vector<double>& intensities, std::vector<MillerIndex> hkls,
                        const std::vector<double>& d_hkls, double tolerance) {
  MergedPeaks merged;
  const size_t n = two_thetas.size();
  if (n == 0) return merged;

  OpenGroup group;
  // The reads come in the order intensities, hkls, d_hkls: with several lists
  // too short, the first of them in that order names the failure.
  auto open = [&](size_t j) {
    group.anchor = two_thetas[j];
    group.intensity = at(intensities, j);
    group.members.clear();
    group.members.push_back(std::move(at(hkls, j)));
    group.spacing = at(d_hkls, j);
  };
  auto close = [&] {
    merged.two_thetas.push_back(group.anchor);
    merged.intensities.push_back(group.intensity);
    merged.hkls.push_back(std::move(group.members));
    merged.d_hkls.push_back(group.spacing);
  };

  open(0);
  for (size_t j = 1; j < n; ++j) {
    // Strictly less: false for a NaN on either side and for an infinite
    // difference against an infinite tolerance.
    if (std::fabs(two_thetas[j] - group.anchor) < tolerance) {
      const double intensity = at(intensities, j);
      group.members.push_back(std::move(at(hkls, j)));
      group.intensity += intensity;
    } else {
      close();
      open(j);
    }
  }
  close();
  return merged;
}

}  // namespace peakforge
