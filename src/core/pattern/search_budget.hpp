// The symmetry search's account of its work: every atom looked up counts
// against the calculation's work limit, and the interrupt check runs every
// few milliseconds of it, so Ctrl-C stops even a search through many
// candidate translations.
#pragma once

#include <chrono>
#include <cstddef>  // for size_t
#include <string>

#include "pattern/pattern_request.hpp"

namespace peakforge::pattern {

// One look-up of an atom near a point (a binary search among the atoms' bins
// and a distance) costs about as much as this many reflection × atom terms
// of the intensity sum; measured with bench/bench_symmetry_search.py.
inline constexpr double terms_per_lookup = 60.0;

class SearchBudget {
 public:
  SearchBudget(double max_work, size_t atoms, const InterruptCheck& check_interrupt)
      : lookups_left_(max_work / terms_per_lookup),
        atoms_(atoms),
        check_interrupt_(check_interrupt),
        last_check_(std::chrono::steady_clock::now()) {}

  // Counts `lookups` more; throws WorkLimitError past the work limit and lets
  // the interrupt check run every ~10 ms.
  void spend(size_t lookups) {
    lookups_left_ -= static_cast<double>(lookups);
    if (lookups_left_ < 0.0) {
      throw WorkLimitError{
          "finding the symmetry of " + std::to_string(atoms_) +
          " atoms given without symmetry operations exceeds the work limit; give the "
          "operations, or raise the limit"};
    }
    since_clock_ += lookups;
    if (since_clock_ < clock_every) return;
    since_clock_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check_ < std::chrono::milliseconds(10)) return;
    last_check_ = now;
    if (check_interrupt_) check_interrupt_(0, 0);
  }

 private:
  static constexpr size_t clock_every = 256;  // look-ups between readings of the clock (~50 µs)
  double lookups_left_;
  size_t atoms_;
  const InterruptCheck& check_interrupt_;
  std::chrono::steady_clock::time_point last_check_;
  size_t since_clock_ = 0;
};

}  // namespace peakforge::pattern
