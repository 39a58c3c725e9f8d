#include "intensity/compute_intensities.hpp"

#include <cmath>  // for isnan
#include <span>

#include "base/call_pool.hpp"
#include "base/worker_count.hpp"
#include "intensity/reflection_mates.hpp"

namespace peakforge {
namespace {

using Pair = std::pair<double, double>;

// A mate takes its earlier reflection's pair unless that is NaN (see
// reflection_mates.hpp).
bool can_copy(const std::vector<Pair>& result, size_t mate) {
  return mate != no_mate && !std::isnan(result[mate].second);
}

// Computes result[i] for every i of `indices` on the pool, with one scratch
// per worker that can have work, made here on the calling thread.
void compute_on_pool(CallPool& pool, const IntensityContext& context, const IndexVectors& hkls,
                     const std::vector<size_t>& indices, std::vector<IntensityScratch>& scratch,
                     std::vector<Pair>& result) {
  const size_t states = std::min(scratch.size(), indices.size());
  parallel_for_each_index(pool, indices.size(), std::span(scratch.data(), states),
                          [&](IntensityScratch& mine, size_t position) {
                            const size_t i = indices[position];
                            result[i] = reflection_intensity(context, i, hkls[i], mine);
                          });
}

}  // namespace

std::vector<Pair> compute_intensities(const IntensityInputs& in) {
  const IntensityContext context(in);
  const size_t n = in.hkls.size();
  std::vector<Pair> result(n);
  const std::vector<size_t> mates = find_mates(in.hkls, in.g_hkls);

  if (!in.parallel) {
    // In input order, so the first reflection that fails is the first that
    // would fail without the mates: a mate never fails.
    IntensityScratch scratch(context);
    for (size_t i = 0; i < n; ++i) {
      result[i] = can_copy(result, mates[i])
                      ? result[mates[i]]
                      : reflection_intensity(context, i, in.hkls[i], scratch);
    }
    return result;
  }

  // Every reflection is computed by the same function from the same
  // read-only data, so the bits do not depend on which worker takes it.
  // Everything a worker needs is allocated here first.
  std::vector<size_t> first_of_their_kind;
  for (size_t i = 0; i < n; ++i) {
    if (mates[i] == no_mate) first_of_their_kind.push_back(i);
  }
  const size_t workers = worker_count(in.num_threads);
  std::vector<IntensityScratch> scratch(
      std::min(workers, std::max<size_t>(first_of_their_kind.size(), 1)),
      IntensityScratch(context));
  CallPool pool(workers);
  compute_on_pool(pool, context, in.hkls, first_of_their_kind, scratch, result);

  std::vector<size_t> mates_of_nan;
  for (size_t i = 0; i < n; ++i) {
    if (mates[i] == no_mate) continue;
    if (can_copy(result, mates[i])) {
      result[i] = result[mates[i]];
    } else {
      mates_of_nan.push_back(i);
    }
  }
  if (!mates_of_nan.empty()) compute_on_pool(pool, context, in.hkls, mates_of_nan, scratch, result);
  return result;
}

}  // namespace peakforge
