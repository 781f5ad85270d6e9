// The vector math functions built for AVX2 with FMA. Only this file is compiled for that
// instruction set, through the pragma below, and the dispatcher calls it only on processors
// that have it. Nothing is fused unless a function does it explicitly with P::fma, where the
// library's own code was fused (-ffp-contract=off holds here too).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

#include "engine/vecmath/powf_lanes.hpp"
#include "engine/vecmath/sincosf_lanes.hpp"
#include "engine/vecmath/tanf_lanes.hpp"
#include "engine/vecmath/tanhf_lanes.hpp"
#include "engine/vecmath/vecmath_impl.hpp"

namespace kavri::vecmath::detail {

namespace {

using V8 = float __attribute__((vector_size(32)));
using I8 = std::int32_t __attribute__((vector_size(32)));
using U8 = std::uint32_t __attribute__((vector_size(32)));

struct Tanhf {
    V8 operator()(V8 x) const { return TanhfLanes<V8, I8, U8>::tanhf(x); }
};

// Four floats widened to four doubles in one register.
struct Avx2Doubles {
    static constexpr int W = 4;
    using F = float __attribute__((vector_size(16)));
    using U32 = std::uint32_t __attribute__((vector_size(16)));
    using I32 = std::int32_t __attribute__((vector_size(16)));
    using D = double __attribute__((vector_size(32)));
    using U64 = std::uint64_t __attribute__((vector_size(32)));
    using I64 = std::int64_t __attribute__((vector_size(32)));

    static D fma(D a, D b, D c) { return (D)_mm256_fmadd_pd((__m256d)a, (__m256d)b, (__m256d)c); }
    // Gathers, in their masked forms with all lanes on and a defined source for the lanes
    // they would skip.
    static D lookup16_pd(const double* table, U32 index) {
        const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return (D)_mm256_mask_i32gather_pd(_mm256_setzero_pd(), table, (__m128i)index, all, 8);
    }
    static U64 lookup32_u64(const std::uint64_t* table, U64 index) {
        return (U64)_mm256_mask_i64gather_epi64(_mm256_setzero_si256(),
                                                reinterpret_cast<const long long*>(table),
                                                (__m256i)index, _mm256_set1_epi64x(-1), 8);
    }
    // Entries 0..7 and 8..15 of the table each permuted by the index, and the right one kept.
    static U32 lookup16(const std::uint32_t* table, U32 index) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table + 8));
        const __m256i i = _mm256_castsi128_si256((__m128i)index);
        const __m256i from_low = _mm256_permutevar8x32_epi32(low, i);
        const __m256i from_high = _mm256_permutevar8x32_epi32(high, i);
        const U32 a = (U32)_mm256_castsi256_si128(from_low);
        const U32 b = (U32)_mm256_castsi256_si128(from_high);
        return (index & 8u) != 0 ? b : a;
    }
    // The high half times 2^32 and the low half are both exact doubles, so their sum is
    // rounded once, to the nearest double of the whole.
    static D int64_to_double(I64 v) {
        const I32 high = __builtin_convertvector(v >> 32, I32);
        const U32 low = __builtin_convertvector((U64)v & 0xffffffffu, U32);
        const D high_d = __builtin_convertvector(high, D) * 4294967296.0;
        const D low_d = __builtin_convertvector((I32)(low ^ 0x80000000u), D) + 2147483648.0;
        return high_d + low_d;
    }
    static U64 mul_u32(U64 a, U64 b) { return (U64)_mm256_mul_epu32((__m256i)a, (__m256i)b); }
    static bool any(I64 mask) { return _mm256_movemask_pd((__m256d)mask) != 0; }
};

}  // namespace

void tanhf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes<V8>(in, out, n, Tanhf{});
}

void powf_avx2(const float* in, float y, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(
        in, out, n, [y](const float* x, float* r) { PowfLanes<Avx2Doubles>::powf(x, y, r); });
}

void sinf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(
        in, out, n, [](const float* x, float* r) { SincosfLanes<Avx2Doubles>::run<false>(x, r); });
}

void cosf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(
        in, out, n, [](const float* x, float* r) { SincosfLanes<Avx2Doubles>::run<true>(x, r); });
}

void tanf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(
        in, out, n, [](const float* x, float* r) { TanfLanes<Avx2Doubles>::run(x, r); });
}

}  // namespace kavri::vecmath::detail

#pragma GCC pop_options
