// The real FFT's butterflies, written once over the value type: a float, or a vector of
// floats whose every lane does the float's operations in the same order. The scalar passes
// and the vector first stage (fft_first_stage.hpp) both take them from here, so the two
// cannot drift apart.
//
// Templates only. A file built for a wider instruction set instantiates them with a Tag of its
// own (a type of internal linkage), so its instances are its own: no code built for that set
// can stand in for the code every processor runs, whatever the value type.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavri::fft_detail {

// The first fused pass's twiddles, as RealFft keeps them: a, then b, at j
// for j < the pass's half-width (2 or 1).
struct FirstTwiddles {
    const float* w1r;
    const float* w1i;
    const float* w2r;
    const float* w2i;
};

// One instruction set's vector kernels (fft_avx2.cpp, fft_avx512.cpp). The first stages return
// whether they ran (they need at least a vector's width of groups); pass_eight, where there
// is one, takes the fused pass of half-width 8 over n places (a multiple of 64).
struct LaneKernels {
    // The real samples in pairs: point x is samples 2x and 2x + 1, the first n (of 2 n)
    // at `first` and the rest at `second`.
    bool (*first_stage_pairs)(const float* first, const float* second, float* re, float* im,
                              std::size_t n, bool first_two, const std::uint32_t* reversed,
                              const FirstTwiddles& t);
    bool (*first_stage_split)(const float* real, const float* imag, float* re, float* im,
                              std::size_t n, bool first_two, const std::uint32_t* reversed,
                              const FirstTwiddles& t);
    void (*pass_eight)(float* re, float* im, std::size_t n, const FirstTwiddles& t);
};

extern const LaneKernels kAvx2Kernels;
extern const LaneKernels kAvx512Kernels;

// One radix-2 pass with twiddles 1 over pairs (a, a + 1).
template <typename T, typename Tag = void>
inline void pass_two(T* re, T* im, std::size_t n) {
    for (std::size_t a = 0; a < n; a += 2) {
        const T r0 = re[a];
        const T i0 = im[a];
        const T r1 = re[a + 1];
        const T i1 = im[a + 1];
        re[a] = r0 + r1;
        im[a] = i0 + i1;
        re[a + 1] = r0 - r1;
        im[a + 1] = i0 - i1;
    }
}

// Two radix-2 passes of half-widths h and 2 h fused, at one j of one group: the four points
// j, j + h, j + 2h, j + 3h; a = e^{-2 pi i j / 2h}, b = e^{-2 pi i j / 4h}, and the second
// pass's other twiddle is b times -i, taken exactly.
template <typename T, typename Tag = void>
inline void radix_four(T& r0, T& i0, T& r1, T& i1, T& r2, T& i2, T& r3, T& i3, T ar, T ai, T br,
                       T bi) {
    const T t1r = r1 * ar - i1 * ai;
    const T t1i = r1 * ai + i1 * ar;
    const T t3r = r3 * ar - i3 * ai;
    const T t3i = r3 * ai + i3 * ar;
    const T b0r = r0 + t1r;
    const T b0i = i0 + t1i;
    const T b1r = r0 - t1r;
    const T b1i = i0 - t1i;
    const T b2r = r2 + t3r;
    const T b2i = i2 + t3i;
    const T b3r = r2 - t3r;
    const T b3i = i2 - t3i;
    const T u2r = b2r * br - b2i * bi;
    const T u2i = b2r * bi + b2i * br;
    // b3 times b times -i: (x + iy)(-i) = y - ix.
    const T v3r = b3r * br - b3i * bi;
    const T v3i = b3r * bi + b3i * br;
    r0 = b0r + u2r;
    i0 = b0i + u2i;
    r2 = b0r - u2r;
    i2 = b0i - u2i;
    r1 = b1r + v3i;
    i1 = b1i - v3r;
    r3 = b1r - v3i;
    i3 = b1i + v3r;
}

// The first stage on one group held in r[0..8) and i[0..8) (a radix-2 pass of twiddle 1,
// then the fused pass of half-width 2), or in r[0..4) and i[0..4) (the fused pass of
// half-width 1). w holds the first fused pass's twiddles: a at j, b at j (j < 2, or j = 0).
template <std::size_t Points, typename T, typename Tag = void>
inline void first_stage_group(T* r, T* i, const T (&w1r)[2], const T (&w1i)[2], const T (&w2r)[2],
                              const T (&w2i)[2]) {
    static_assert(Points == 8 || Points == 4, "a first-stage group holds 8 or 4 points");
    if constexpr (Points == 8) {
        pass_two<T, Tag>(r, i, 8);
        for (std::size_t j = 0; j < 2; ++j) {
            radix_four<T, Tag>(r[j], i[j], r[j + 2], i[j + 2], r[j + 4], i[j + 4], r[j + 6],
                               i[j + 6], w1r[j], w1i[j], w2r[j], w2i[j]);
        }
    } else {
        radix_four<T, Tag>(r[0], i[0], r[1], i[1], r[2], i[2], r[3], i[3], w1r[0], w1i[0], w2r[0],
                           w2i[0]);
    }
}

}  // namespace kavri::fft_detail
