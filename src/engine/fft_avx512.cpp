// The FFT's first stage at 16 lanes (AVX-512F). Only this file is built for that instruction
// set, through the pragma below, and RealFft calls it only on processors that have it.
// Nothing is fused: -ffp-contract=off holds here too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx512f")

#include <immintrin.h>

#include "engine/fft_first_stage.hpp"

namespace kavri::fft_avx512 {

namespace {

struct Lanes {
    using V = __m512;
    static constexpr std::size_t W = 16;
    static V broadcast(float x) { return _mm512_set1_ps(x); }
    static V load(const float* p) { return _mm512_loadu_ps(p); }
    static void pairs(const float* p, V& even, V& odd) {
        const V a = _mm512_loadu_ps(p);
        const V b = _mm512_loadu_ps(p + 16);
        even = _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30), b);
        odd = _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31), b);
    }
    static V zip_low(V a, V b) {
        return _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23), b);
    }
    static V zip_high(V a, V b) {
        return _mm512_permutex2var_ps(
            a, _mm512_setr_epi32(8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31), b);
    }
    // (The extract intrinsics' GCC wrappers read an undefined register, which -Werror's
    // uninitialised check refuses; a shuffle to the narrower vector is the same instruction.)
    template <std::size_t Points, std::size_t K>
    static void store_run(float* p, V v) {
        using Whole = float __attribute__((vector_size(64)));
        const auto w = static_cast<Whole>(v);
        if constexpr (Points == 8) {
            constexpr int k = 8 * static_cast<int>(K);
            _mm256_storeu_ps(p, __builtin_shufflevector(w, w, k, k + 1, k + 2, k + 3, k + 4, k + 5,
                                                        k + 6, k + 7));
        } else {
            constexpr int k = 4 * static_cast<int>(K);
            _mm_storeu_ps(p, __builtin_shufflevector(w, w, k, k + 1, k + 2, k + 3));
        }
    }
};

}  // namespace

bool first_stage_pairs(const float* time, float* re, float* im, std::size_t n, bool first_two,
                       const std::uint32_t* reversed, const fft_detail::FirstTwiddles& t) {
    return fft_detail::first_stage_pairs<Lanes>(time, re, im, n, first_two, reversed, t);
}

bool first_stage_split(const float* real, const float* imag, float* re, float* im, std::size_t n,
                       bool first_two, const std::uint32_t* reversed,
                       const fft_detail::FirstTwiddles& t) {
    return fft_detail::first_stage_split<Lanes>(real, imag, re, im, n, first_two, reversed, t);
}

}  // namespace kavri::fft_avx512

#pragma GCC pop_options
