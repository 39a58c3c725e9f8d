// A vector whose storage starts on a 64-byte cache line, so that the 4- and
// 8-lane loops load whole vectors without splitting a line.
#pragma once

#include <cstddef>  // for size_t
#include <new>      // for align_val_t
#include <vector>

namespace peakforge {

template <class T>
struct CacheLineAllocator {
  using value_type = T;
  static constexpr std::align_val_t alignment{64};

  CacheLineAllocator() = default;
  template <class U>
  CacheLineAllocator(const CacheLineAllocator<U>&) {}

  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), alignment)); }
  void deallocate(T* p, size_t) { ::operator delete(p, alignment); }
  template <class U>
  bool operator==(const CacheLineAllocator<U>&) const {
    return true;
  }
};

template <class T>
using AlignedVector = std::vector<T, CacheLineAllocator<T>>;

}  // namespace peakforge
