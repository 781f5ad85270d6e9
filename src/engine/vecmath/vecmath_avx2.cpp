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
    // The masked forms, all lanes on, with a defined source for the lanes they would skip.
    static D gather_pd(const double* base, I32 index) {
        const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        return (D)_mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, (__m128i)index, all, 8);
    }
    static U64 gather_u64(const std::uint64_t* base, U64 index) {
        return (U64)_mm256_mask_i64gather_epi64(_mm256_setzero_si256(),
                                                reinterpret_cast<const long long*>(base),
                                                (__m256i)index, _mm256_set1_epi64x(-1), 8);
    }
    static U32 gather_u32(const std::uint32_t* base, I32 index) {
        return (U32)_mm_mask_i32gather_epi32(_mm_setzero_si128(), reinterpret_cast<const int*>(base),
                                             (__m128i)index, _mm_set1_epi32(-1), 4);
    }
    static U64 mul_u32(U64 a, U64 b) { return (U64)_mm256_mul_epu32((__m256i)a, (__m256i)b); }
    static bool any(I64 mask) { return _mm256_movemask_pd((__m256d)mask) != 0; }
};

}  // namespace

void tanhf_avx2(const float* in, float* out, std::size_t n) { map_lanes<V8>(in, out, n, Tanhf{}); }

void powf_avx2(const float* in, float y, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(in, out, n, [y](const float* x, float* r) {
        PowfLanes<Avx2Doubles>::powf(x, y, r);
    });
}

void sinf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(in, out, n, [](const float* x, float* r) {
        SincosfLanes<Avx2Doubles>::run<false>(x, r);
    });
}

void cosf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(in, out, n, [](const float* x, float* r) {
        SincosfLanes<Avx2Doubles>::run<true>(x, r);
    });
}

void tanf_avx2(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx2Doubles::W>(in, out, n, [](const float* x, float* r) { TanfLanes<Avx2Doubles>::run(x, r); });
}

}  // namespace kavri::vecmath::detail

#pragma GCC pop_options
