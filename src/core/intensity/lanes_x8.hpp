// Eight doubles in a 512-bit AVX-512F register: the lane type of the 8-lane
// sine/cosine (sin_cos.hpp). Only the AVX-512 translation unit includes this
// header (it needs -mavx512f); masks are the k-registers' eight bits.
#pragma once

#include <immintrin.h>

#include <cstdint>  // for uint64_t

namespace peakforge {

struct LanesX8 {
  using Vec = __m512d;
  using Mask = __mmask8;
  using Bits = __m512i;

  [[gnu::always_inline]] static Vec splat(double v) { return _mm512_set1_pd(v); }
  [[gnu::always_inline]] static Vec add(Vec a, Vec b) { return _mm512_add_pd(a, b); }
  [[gnu::always_inline]] static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
  [[gnu::always_inline]] static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
  [[gnu::always_inline]] static Vec fma(Vec a, Vec b, Vec c) { return _mm512_fmadd_pd(a, b, c); }
  [[gnu::always_inline]] static Vec abs(Vec a) {
    return _mm512_castsi512_pd(_mm512_andnot_epi64(sign_bits(), _mm512_castpd_si512(a)));
  }
  [[gnu::always_inline]] static Vec round_to_even(Vec a) {
    return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
  }
  [[gnu::always_inline]] static Vec floor(Vec a) {
    return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  }

  // Ordered, quiet comparisons: false for NaN.
  [[gnu::always_inline]] static Mask less(Vec a, Vec b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ);
  }
  [[gnu::always_inline]] static Mask greater(Vec a, Vec b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ);
  }
  [[gnu::always_inline]] static Mask greater_equal(Vec a, Vec b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ);
  }
  [[gnu::always_inline]] static Mask equal(Vec a, Vec b) {
    return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ);
  }
  [[gnu::always_inline]] static Mask either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  [[gnu::always_inline]] static Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
  [[gnu::always_inline]] static Mask differ(Mask a, Mask b) { return static_cast<Mask>(a ^ b); }
  [[gnu::always_inline]] static bool all(Mask m) { return m == 0xFF; }
  [[gnu::always_inline]] static Mask sign_of(Vec a) {
    return _mm512_test_epi64_mask(_mm512_castpd_si512(a), sign_bits());
  }

  // `if_set` where the mask is set, else `if_clear`.
  [[gnu::always_inline]] static Vec select(Mask m, Vec if_clear, Vec if_set) {
    return _mm512_mask_blend_pd(m, if_clear, if_set);
  }
  [[gnu::always_inline]] static Vec negate_where(Mask m, Vec a) {
    const __m512i bits = _mm512_castpd_si512(a);
    return _mm512_castsi512_pd(_mm512_mask_xor_epi64(bits, m, bits, sign_bits()));
  }

  // The bits of a double holding a whole number in its low mantissa bits.
  [[gnu::always_inline]] static Bits whole_number_bits(Vec a) { return _mm512_castpd_si512(a); }
  [[gnu::always_inline]] static Bits plus_one(Bits n) {
    return _mm512_add_epi64(n, _mm512_set1_epi64(1));
  }
  template <int k>
  [[gnu::always_inline]] static Mask bit(Bits n) {
    return _mm512_test_epi64_mask(n, _mm512_set1_epi64(int64_t{1} << k));
  }

 private:
  [[gnu::always_inline]] static __m512i sign_bits() {
    return _mm512_set1_epi64(static_cast<int64_t>(uint64_t{1} << 63));
  }
};

}  // namespace peakforge
