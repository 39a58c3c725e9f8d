#include "intensity/simd_width.hpp"

#include "base/platform.hpp"

namespace peakforge {

SimdWidth chosen_simd_width() {
  const auto forced = platform::environment("PEAKFORGE_SIMD");
  if (forced && *forced == "avx2") return SimdWidth::four_lanes;
  return platform::avx512f_usable() ? SimdWidth::eight_lanes : SimdWidth::four_lanes;
}

}  // namespace peakforge
