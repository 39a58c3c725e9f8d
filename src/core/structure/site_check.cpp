#include "structure/site_check.hpp"

#include <algorithm>  // for max, min
#include <map>
#include <utility>  // for pair

#include "structure/close_pairs.hpp"

namespace peakforge::structure {

SiteCheckResult check_close_sites(const Matrix3& lattice, const std::vector<Vector3>& frac,
                                  const std::vector<int32_t>& atomic_numbers,
                                  const std::vector<double>& occupancies,
                                  const std::vector<int64_t>& site_of,
                                  const SiteCheckLimits& limits) {
  SiteCheckResult out;
  out.keep.assign(frac.size(), 1);
  const ClosePairs pairs = close_pairs(lattice, frac, limits.close);
  std::map<int64_t, int64_t> repeated;  // dropped site -> earliest site it repeats
  std::map<int64_t, double> merged;
  std::map<std::pair<int64_t, int64_t>, double> clashing;
  for (size_t p = 0; p < pairs.first.size(); ++p) {
    const auto a = static_cast<size_t>(pairs.first[p]), b = static_cast<size_t>(pairs.second[p]);
    if (!(occupancies[a] + occupancies[b] > 1.0 + limits.occupancy_slack)) continue;
    const double d = pairs.distance[p];
    const int64_t site_a = site_of[a], site_b = site_of[b];
    if (site_a == site_b) {
      out.keep[b] = 0;  // pairs come with a < b
      auto [at, fresh] = merged.emplace(site_a, d);
      if (!fresh) at->second = std::max(at->second, d);
    } else if (d < limits.same_position && atomic_numbers[a] == atomic_numbers[b]) {
      out.keep[std::max(a, b)] = 0;
      const int64_t first = std::min(site_a, site_b), second = std::max(site_a, site_b);
      auto [at, fresh] = repeated.emplace(second, first);
      if (!fresh) at->second = std::min(at->second, first);
    } else {
      const std::pair<int64_t, int64_t> key{std::min(site_a, site_b), std::max(site_a, site_b)};
      auto [at, fresh] = clashing.emplace(key, d);
      if (!fresh) at->second = std::min(at->second, d);
    }
  }
  for (const auto& [site, of] : repeated) {
    out.repeated_site.push_back(site);
    out.repeated_of.push_back(of);
  }
  for (const auto& [site, d] : merged) {
    out.merged_site.push_back(site);
    out.merged_distance.push_back(d);
  }
  for (const auto& [key, d] : clashing) {
    out.clash_first.push_back(key.first);
    out.clash_second.push_back(key.second);
    out.clash_distance.push_back(d);
  }
  return out;
}

}  // namespace peakforge::structure
