// Which vector width the SIMD structure factor uses in this call.
#pragma once

namespace peakforge {

enum class SimdWidth {
  four_lanes,   // AVX2: one 4-atom group per step
  eight_lanes,  // AVX-512: two 4-atom groups per step, the same bits
};

// Eight lanes where the processor and the operating system support AVX-512F,
// unless the environment variable PEAKFORGE_SIMD is "avx2"; read afresh at
// every call, so that tests and benchmarks can compare both in one process.
SimdWidth chosen_simd_width();

}  // namespace peakforge
