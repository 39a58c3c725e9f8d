// Rows of values of any lengths, stored one after another in one block: a
// nested vector without an allocation per row. Row i is values[starts[i],
// starts[i + 1]).
#pragma once

#include <cstddef>  // for size_t
#include <span>
#include <vector>

namespace peakforge {

template <class T>
class Rows {
 public:
  size_t size() const { return starts_.size() - 1; }
  std::span<const T> operator[](size_t i) const {
    return {values_.data() + starts_[i], starts_[i + 1] - starts_[i]};
  }

  // Building: values appended to values() make up the row being built,
  // which end_row() closes.
  void reserve(size_t rows, size_t values) {
    starts_.reserve(rows + 1);
    values_.reserve(values);
  }
  void end_row() { starts_.push_back(values_.size()); }
  std::vector<T>& values() { return values_; }

 private:
  std::vector<T> values_;
  std::vector<size_t> starts_{0};
};

}  // namespace peakforge
