// The FFT's first stage at 8 lanes (AVX2). Only this file is built for that instruction set,
// through the pragma below, and RealFft takes its kernels (kAvx2Kernels) only on processors
// that have it.
// Nothing is fused: -ffp-contract=off holds here too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx2")

#include <immintrin.h>

#include "engine/fft_first_stage.hpp"

namespace kavri {

namespace fft_avx2 {

namespace {

struct Lanes {
    using V = __m256;
    static constexpr std::size_t W = 8;
    static V broadcast(float x) { return _mm256_set1_ps(x); }
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void pairs(const float* p, V& even, V& odd) {
        const V a = _mm256_loadu_ps(p);
        const V b = _mm256_loadu_ps(p + 8);
        // Per 128-bit half: a0 a2 b0 b2 | a4 a6 b4 b6, then the middle quarters swapped.
        const V e = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
        const V o = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
        even =
            _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0)));
        odd = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)));
    }
    static V zip_low(V a, V b) {
        return _mm256_permute2f128_ps(_mm256_unpacklo_ps(a, b), _mm256_unpackhi_ps(a, b), 0x20);
    }
    static V zip_high(V a, V b) {
        return _mm256_permute2f128_ps(_mm256_unpacklo_ps(a, b), _mm256_unpackhi_ps(a, b), 0x31);
    }
    template <std::size_t Points, std::size_t K>
    static void store_run(float* p, V v) {
        if constexpr (Points == 8) {
            _mm256_storeu_ps(p, v);
        } else {
            _mm_storeu_ps(p, _mm256_extractf128_ps(v, K));
        }
    }
};

}  // namespace

}  // namespace fft_avx2

namespace fft_detail {
const LaneKernels kAvx2Kernels = {&first_stage_pairs<fft_avx2::Lanes>,
                                  &first_stage_split<fft_avx2::Lanes>, nullptr};
}  // namespace fft_detail

}  // namespace kavri

#pragma GCC pop_options
