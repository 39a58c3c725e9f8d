#include "reflections/families.hpp"

#include <algorithm>  // for equal, sort
#include <cstdlib>    // for llabs
#include <span>
#include <unordered_map>

namespace peakforge {
namespace {

// The magnitude forms of all input tuples, side by side in one buffer. 64-bit
// magnitudes keep |-2147483648| exact and distinct from 2147483647.
class MagnitudeForms {
 public:
  explicit MagnitudeForms(const std::vector<std::vector<int32_t>>& hkls) {
    size_t total = 0;
    for (const auto& hkl : hkls) total += hkl.size();
    magnitudes_.reserve(total);
    offsets_.reserve(hkls.size() + 1);
    offsets_.push_back(0);
    for (const auto& hkl : hkls) {
      const size_t begin = magnitudes_.size();
      for (int32_t v : hkl) magnitudes_.push_back(std::llabs(static_cast<int64_t>(v)));
      std::sort(magnitudes_.begin() + static_cast<ptrdiff_t>(begin), magnitudes_.end());
      offsets_.push_back(magnitudes_.size());
    }
  }

  std::span<const int64_t> of(size_t tuple) const {
    return {magnitudes_.data() + offsets_[tuple], offsets_[tuple + 1] - offsets_[tuple]};
  }

 private:
  std::vector<int64_t> magnitudes_;
  std::vector<size_t> offsets_;
};

// Mixes one 64-bit word into a running hash: a splitmix64 step on their xor.
uint64_t mix(uint64_t hash, uint64_t word) {
  uint64_t z = (hash ^ word) + 0x9e3779b97f4a7c15u;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

}  // namespace

std::vector<IndexFamily> unique_families(const std::vector<std::vector<int32_t>>& hkls) {
  const MagnitudeForms forms(hkls);
  // Keys are input positions; a position stands for its tuple's magnitude
  // form, length included, so tuples of different lengths never meet.
  auto hash = [&](size_t tuple) {
    const auto form = forms.of(tuple);
    uint64_t h = form.size();
    for (int64_t m : form) h = mix(h, static_cast<uint64_t>(m));
    return static_cast<size_t>(h);
  };
  auto same_form = [&](size_t x, size_t y) {
    const auto a = forms.of(x), b = forms.of(y);
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  };
  std::unordered_map<size_t, size_t, decltype(hash), decltype(same_form)> family_of(0, hash,
                                                                                    same_form);

  std::vector<IndexFamily> families;
  std::vector<size_t> representative;  // input position of each family's greatest member
  for (size_t i = 0; i < hkls.size(); ++i) {
    const auto [entry, founded] = family_of.try_emplace(i, families.size());
    if (founded) {
      families.push_back({{}, 1});
      representative.push_back(i);
      continue;
    }
    const size_t f = entry->second;
    ++families[f].count;
    // Same length, so this is plain lexicographic order on signed components.
    if (hkls[i] > hkls[representative[f]]) representative[f] = i;
  }
  for (size_t f = 0; f < families.size(); ++f) families[f].representative = hkls[representative[f]];
  return families;
}

}  // namespace peakforge
