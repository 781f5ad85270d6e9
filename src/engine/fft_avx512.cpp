// The FFT's first stage and half-width-8 pass at 16 lanes (AVX-512F). Only this file is built
// for that instruction set, through the pragma below, and RealFft takes its kernels
// (kAvx512Kernels) only on processors that have it.
// Nothing is fused: -ffp-contract=off holds here too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx512f")

#include <immintrin.h>

#include "engine/fft_first_stage.hpp"

namespace kavri {

namespace fft_avx512 {

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

using V = Lanes::V;

// Two groups' eight places in one register: the low half from a, the high half from b.
V two_halves(const float* a, const float* b) {
    using Half = float __attribute__((vector_size(32)));
    Half low;
    Half high;
    std::memcpy(&low, a, sizeof low);
    std::memcpy(&high, b, sizeof high);
    return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

void store_halves(float* a, float* b, V v) {
    using Whole = float __attribute__((vector_size(64)));
    const auto w = static_cast<Whole>(v);
    _mm256_storeu_ps(a, __builtin_shufflevector(w, w, 0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_storeu_ps(b, __builtin_shufflevector(w, w, 8, 9, 10, 11, 12, 13, 14, 15));
}

void pass_eight(float* re, float* im, std::size_t n, const fft_detail::FirstTwiddles& t) {
    // The fused pass of half-width 8 over groups of 32 places, two groups to a register: the
    // scalar pass's operations at every j, in lanes j and 8 + j.
    constexpr std::size_t kHalf = 8;
    const V w1r = two_halves(t.w1r, t.w1r);
    const V w1i = two_halves(t.w1i, t.w1i);
    const V w2r = two_halves(t.w2r, t.w2r);
    const V w2i = two_halves(t.w2i, t.w2i);
    for (std::size_t base = 0; base < n; base += 8 * kHalf) {
        float* ra = re + base;
        float* ia = im + base;
        float* rb = ra + 4 * kHalf;
        float* ib = ia + 4 * kHalf;
        V r[4];
        V i[4];
        for (std::size_t q = 0; q < 4; ++q) {
            r[q] = two_halves(ra + q * kHalf, rb + q * kHalf);
            i[q] = two_halves(ia + q * kHalf, ib + q * kHalf);
        }
        fft_detail::radix_four<V, Lanes>(r[0], i[0], r[1], i[1], r[2], i[2], r[3], i[3], w1r, w1i,
                                         w2r, w2i);
        for (std::size_t q = 0; q < 4; ++q) {
            store_halves(ra + q * kHalf, rb + q * kHalf, r[q]);
            store_halves(ia + q * kHalf, ib + q * kHalf, i[q]);
        }
    }
}

}  // namespace

}  // namespace fft_avx512

namespace fft_detail {
const LaneKernels kAvx512Kernels = {&first_stage_pairs<fft_avx512::Lanes>,
                                    &first_stage_split<fft_avx512::Lanes>, &fft_avx512::pass_eight};
}  // namespace fft_detail

}  // namespace kavri

#pragma GCC pop_options
