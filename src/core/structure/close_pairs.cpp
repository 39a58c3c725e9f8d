#include "structure/close_pairs.hpp"

#include <algorithm>  // for min, max, sort
#include <cmath>      // for floor, nearbyint, sqrt
#include <numeric>    // for iota
#include <string>

namespace peakforge::structure {
namespace {

// Spacing of the lattice planes (Å) along each axis: 1 / |a*|, 1 / |b*|, 1 / |c*|.
Vector3 plane_spacings(const Matrix3& l) {
  // Reciprocal vectors from cross products: a* = (b × c) / V, and so on.
  auto cross = [](const Vector3& u, const Vector3& v) {
    return Vector3{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
  };
  const Vector3 bc = cross(l[1], l[2]), ca = cross(l[2], l[0]), ab = cross(l[0], l[1]);
  const double volume = std::fabs(l[0][0] * bc[0] + l[0][1] * bc[1] + l[0][2] * bc[2]);
  return {volume / std::sqrt(norm_squared(bc)), volume / std::sqrt(norm_squared(ca)),
          volume / std::sqrt(norm_squared(ab))};
}

std::array<int64_t, 3> bin_counts(const Matrix3& lattice, double radius, size_t atoms) {
  const Vector3 widths = plane_spacings(lattice);
  std::array<int64_t, 3> bins{};
  for (size_t i = 0; i < 3; ++i) {
    const double fit = std::floor(widths[i] / radius);
    // The cap only keeps the conversion defined: the atoms limit the grid below.
    bins[i] = fit >= 1.0 ? static_cast<int64_t>(std::min(fit, 1e12)) : 1;
  }
  // No more bins than the atoms can fill.
  const auto limit = static_cast<double>(8 * atoms + 27);
  while (static_cast<double>(bins[0]) * static_cast<double>(bins[1]) *
             static_cast<double>(bins[2]) >
         limit) {
    for (auto& b : bins) b = std::max<int64_t>(1, b / 2);
  }
  return bins;
}

// The distinct neighbouring bin offsets along an axis of n bins (0, 1, n - 1).
std::vector<int64_t> axis_offsets(int64_t n) {
  std::vector<int64_t> out{0};
  if (n >= 2) out.push_back(1);
  if (n >= 3) out.push_back(n - 1);
  return out;
}

void add_if_close(ClosePairs& out, const PeriodicDistance& distance,
                  const std::vector<Vector3>& wrapped, const Vector3& spacings, size_t i, size_t j,
                  double radius) {
  // Every image of the pair is at least |δ_k| plane spacings apart along
  // each axis k (δ the rounded fractional difference): most pairs are ruled
  // out by that bound without the search over the 27 neighbouring shifts.
  for (size_t k = 0; k < 3; ++k) {
    const double delta = wrapped[j][k] - wrapped[i][k];
    if (std::fabs(delta - std::nearbyint(delta)) * spacings[k] > radius) return;
  }
  const double d = distance(wrapped[i], wrapped[j]);
  if (d < radius) {
    out.first.push_back(static_cast<int64_t>(i));
    out.second.push_back(static_cast<int64_t>(j));
    out.distance.push_back(d);
  }
}

}  // namespace

PeriodicDistance::PeriodicDistance(const Matrix3& lattice) : lattice_(lattice) {
  size_t s = 0;
  for (int a = -1; a <= 1; ++a) {
    for (int b = -1; b <= 1; ++b) {
      for (int c = -1; c <= 1; ++c, ++s) {
        shifts_[s] = cartesian(
            {static_cast<double>(a), static_cast<double>(b), static_cast<double>(c)}, lattice);
        lengths_[s] = norm_squared(shifts_[s]);
      }
    }
  }
}

double PeriodicDistance::operator()(const Vector3& a, const Vector3& b) const {
  Vector3 delta{};
  for (size_t i = 0; i < 3; ++i) {
    delta[i] = b[i] - a[i];
    delta[i] -= std::nearbyint(delta[i]);
  }
  const Vector3 r = cartesian(delta, lattice_);
  // The nearest image minimises |r + s|² - |r|² = s·(2r + s); its distance is
  // then computed directly, free of that form's cancellation.
  size_t nearest = 0;
  double best = 0.0;
  for (size_t s = 0; s < shifts_.size(); ++s) {
    const Vector3& v = shifts_[s];
    const double score = 2.0 * (r[0] * v[0] + r[1] * v[1] + r[2] * v[2]) + lengths_[s];
    if (s == 0 || score < best) {
      best = score;
      nearest = s;
    }
  }
  const Vector3& v = shifts_[nearest];
  return std::sqrt(norm_squared({r[0] + v[0], r[1] + v[1], r[2] + v[2]}));
}

ClosePairs close_pairs(const Matrix3& lattice, const std::vector<Vector3>& frac, double radius,
                       size_t single_bin_pairs) {
  ClosePairs out;
  const size_t count = frac.size();
  if (count < 2) return out;
  std::vector<Vector3> wrapped(count);
  for (size_t a = 0; a < count; ++a) {
    for (size_t i = 0; i < 3; ++i) wrapped[a][i] = frac[a][i] - std::floor(frac[a][i]);
  }
  const PeriodicDistance distance(lattice);
  // A hair under the plane spacings, so that rounding cannot rule out a pair
  // at exactly the radius.
  Vector3 spacings = plane_spacings(lattice);
  for (double& s : spacings) s *= 1.0 - 1e-12;
  const double pair_images =
      static_cast<double>(count) * static_cast<double>(count - 1) / 2.0 * 27.0;
  if (pair_images <= static_cast<double>(single_bin_pairs)) {
    for (size_t i = 0; i < count; ++i) {
      for (size_t j = i + 1; j < count; ++j)
        add_if_close(out, distance, wrapped, spacings, i, j, radius);
    }
    return out;
  }

  const std::array<int64_t, 3> bins = bin_counts(lattice, radius, count);
  const auto bin_total = static_cast<size_t>(bins[0] * bins[1] * bins[2]);
  std::vector<std::array<int64_t, 3>> cell(count);
  std::vector<size_t> starts(bin_total + 1, 0);
  auto flat = [&bins](const std::array<int64_t, 3>& c) {
    return static_cast<size_t>((c[0] * bins[1] + c[1]) * bins[2] + c[2]);
  };
  for (size_t a = 0; a < count; ++a) {
    for (size_t i = 0; i < 3; ++i) {
      const auto index = static_cast<int64_t>(wrapped[a][i] * static_cast<double>(bins[i]));
      cell[a][i] = std::min(index, bins[i] - 1);
    }
    ++starts[flat(cell[a]) + 1];
  }
  for (size_t b = 0; b < bin_total; ++b) starts[b + 1] += starts[b];
  // Atoms by bin, in increasing index within each bin (a counting sort).
  std::vector<size_t> order(count), fill(starts.begin(), starts.end() - 1);
  for (size_t a = 0; a < count; ++a) order[fill[flat(cell[a])]++] = a;

  const std::vector<int64_t> ox = axis_offsets(bins[0]), oy = axis_offsets(bins[1]),
                             oz = axis_offsets(bins[2]);
  auto neighbour = [&](size_t a, int64_t dx, int64_t dy, int64_t dz) {
    return flat(
        {(cell[a][0] + dx) % bins[0], (cell[a][1] + dy) % bins[1], (cell[a][2] + dz) % bins[2]});
  };
  // Count the candidates first, so that a hopeless pile-up is refused before
  // any distance is computed.
  size_t candidates = 0;
  for (size_t a = 0; a < count; ++a) {
    for (int64_t dx : ox) {
      for (int64_t dy : oy) {
        for (int64_t dz : oz) {
          const size_t b = neighbour(a, dx, dy, dz);
          candidates += starts[b + 1] - starts[b];
        }
      }
    }
    if (candidates > max_candidate_pairs) {
      throw AssemblyError{"the " + std::to_string(count) +
                          " atoms crowd together too densely to check their distances (more than " +
                          "5e+06 pairs within a few angstrom)"};
    }
  }
  for (size_t i = 0; i < count; ++i) {
    for (int64_t dx : ox) {
      for (int64_t dy : oy) {
        for (int64_t dz : oz) {
          const size_t b = neighbour(i, dx, dy, dz);
          for (size_t k = starts[b]; k < starts[b + 1]; ++k) {
            if (order[k] > i) add_if_close(out, distance, wrapped, spacings, i, order[k], radius);
          }
        }
      }
    }
  }
  // Sorted by (first, second); distinct offsets reach distinct bins, so no
  // pair turns up twice.
  std::vector<size_t> rank(out.first.size());
  std::iota(rank.begin(), rank.end(), size_t{0});
  std::sort(rank.begin(), rank.end(), [&out](size_t p, size_t q) {
    return out.first[p] != out.first[q] ? out.first[p] < out.first[q]
                                        : out.second[p] < out.second[q];
  });
  ClosePairs sorted;
  for (size_t p : rank) {
    sorted.first.push_back(out.first[p]);
    sorted.second.push_back(out.second[p]);
    sorted.distance.push_back(out.distance[p]);
  }
  return sorted;
}

}  // namespace peakforge::structure
