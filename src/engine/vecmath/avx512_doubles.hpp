// Eight floats widened to eight doubles in one AVX-512 register: the lane operations the
// *_lanes.hpp functions take (P). Included only by files built for AVX-512F with AVX-512DQ
// under their own target pragma, after it. The anonymous namespace keeps every function
// instantiated with it inside its file, so that no code built for AVX-512 is shared with code
// built for every processor.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace kavri::vecmath::detail {

namespace {

// Eight floats widened to eight doubles in one register.
struct Avx512Doubles {
    static constexpr int W = 8;
    using F = float __attribute__((vector_size(32)));
    using U32 = std::uint32_t __attribute__((vector_size(32)));
    using I32 = std::int32_t __attribute__((vector_size(32)));
    using D = double __attribute__((vector_size(64)));
    using U64 = std::uint64_t __attribute__((vector_size(64)));
    using I64 = std::int64_t __attribute__((vector_size(64)));

    static D fma(D a, D b, D c) { return (D)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)c); }
    // Tables held in registers and permuted by the index: on the processors measured, a
    // gather of eight entries cost more than the rest of powf together.
    static D lookup16_pd(const double* table, U32 index) {
        const __m512i i = _mm512_maskz_cvtepu32_epi64(0xff, (__m256i)index);
        return (D)_mm512_permutex2var_pd(_mm512_loadu_pd(table), i, _mm512_loadu_pd(table + 8));
    }
    static U64 lookup32_u64(const std::uint64_t* table, U64 index) {
        const __m512i i = (__m512i)index;
        const __m512i low =
            _mm512_permutex2var_epi64(_mm512_loadu_si512(table), i, _mm512_loadu_si512(table + 8));
        const __m512i high = _mm512_permutex2var_epi64(_mm512_loadu_si512(table + 16), i,
                                                       _mm512_loadu_si512(table + 24));
        const __mmask8 upper = _mm512_test_epi64_mask(i, _mm512_set1_epi64(16));
        return (U64)_mm512_mask_blend_epi64(upper, low, high);
    }
    // The sixteen entries in one register, permuted by the index.
    static U32 lookup16(const std::uint32_t* table, U32 index) {
        const __m512i all = _mm512_loadu_si512(table);
        const __m512i i = _mm512_castsi256_si512((__m256i)index);
        const __m512i permuted = _mm512_maskz_permutexvar_epi32(0xffff, i, all);
        U32 low;  // the first eight lanes
        std::memcpy(&low, &permuted, sizeof low);
        return low;
    }
    // One conversion instruction (AVX-512DQ), rounding to nearest as the scalar one does.
    static D int64_to_double(I64 v) { return (D)_mm512_maskz_cvtepi64_pd(0xff, (__m512i)v); }
    static U64 mul_u32(U64 a, U64 b) {
        return (U64)_mm512_maskz_mul_epu32(0xff, (__m512i)a, (__m512i)b);
    }
    static bool any(I64 mask) { return _mm512_test_epi64_mask((__m512i)mask, (__m512i)mask) != 0; }
};

}  // namespace

}  // namespace kavri::vecmath::detail
