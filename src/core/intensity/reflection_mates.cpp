#include "intensity/reflection_mates.hpp"

#include <bit>    // for bit_cast, bit_ceil
#include <cmath>  // for isnan

namespace peakforge {
namespace {

// The indices with the sign that makes the first non-zero one positive
// (zeros as +0), and g: equal for a reflection and its mirror image.
struct MateKey {
  uint64_t h, k, l, g;
  bool operator==(const MateKey&) const = default;
};

MateKey key_of(IndexVector hkl, double g) {
  double h = hkl[0], k = hkl[1], l = hkl[2];
  const double first = h != 0.0 ? h : k != 0.0 ? k : l;
  if (first < 0.0) h = -h, k = -k, l = -l;
  return {std::bit_cast<uint64_t>(h + 0.0), std::bit_cast<uint64_t>(k + 0.0),
          std::bit_cast<uint64_t>(l + 0.0), std::bit_cast<uint64_t>(g)};
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  return x;
}

size_t hash_of(const MateKey& key) { return mix(key.h ^ mix(key.k ^ mix(key.l ^ mix(key.g)))); }

}  // namespace

std::vector<size_t> find_mates(const IndexVectors& hkls, const Vector& g_hkls) {
  const size_t n = hkls.size();
  std::vector<size_t> mates(n, no_mate);
  std::vector<MateKey> keys(n);
  // Open addressing, at most half full; a slot holds a reflection's index + 1.
  const size_t capacity = std::bit_ceil(2 * n + 2);
  std::vector<size_t> slots(capacity, 0);
  for (size_t i = 0; i < n && i < g_hkls.size(); ++i) {
    const IndexVector hkl = hkls[i];
    if (hkl.size() < 3 || std::isnan(hkl[0]) || std::isnan(hkl[1]) || std::isnan(hkl[2])) continue;
    keys[i] = key_of(hkl, g_hkls[i]);
    for (size_t slot = hash_of(keys[i]) & (capacity - 1);; slot = (slot + 1) & (capacity - 1)) {
      if (slots[slot] == 0) {
        slots[slot] = i + 1;
        break;
      }
      if (keys[slots[slot] - 1] == keys[i]) {
        mates[i] = slots[slot] - 1;
        break;
      }
    }
  }
  return mates;
}

}  // namespace peakforge
