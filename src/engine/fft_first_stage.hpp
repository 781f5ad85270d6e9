// The FFT's first stage in vector lanes, for the files built for AVX2 and AVX-512.
//
// The transform takes its input in bit-reversed order, and its first stage works on groups of
// Points = 8 (or 4) consecutive places. Seen in the input's natural order, group q is a column:
// its point p sits at rev(p) * rows + s, with rows = n / Points and s the reversal of q (so
// group q's first place, Points * q, is reversed[s]). Lanes therefore take W consecutive
// columns s: every read is a whole vector, each lane runs first_stage_group's operations on
// its own group, and the results, one vector per point, are transposed so that each lane's
// Points values are written together to its group's places. Each value meets the scalar
// stage's operations in the scalar stage's order, so the bits are the scalar stage's.
//
// Lanes supplies the vector type and its shuffles:
//   using V; static constexpr std::size_t W;
//   static V broadcast(float); static V load(const float*);
//   static void pairs(const float* p, V& even, V& odd);  // 2 W interleaved floats, split
//   static V zip_low(V a, V b);   // a0 b0 a1 b1 ... from the low halves
//   static V zip_high(V a, V b);  // the same from the high halves
//   template <std::size_t Points, std::size_t K>
//   static void store_run(float* p, V v);  // v's floats [K Points, (K + 1) Points) to p
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "engine/fft_butterflies.hpp"

namespace kavri::fft_detail {

// Points vectors of W lanes become W runs of Points values, run l at v's floats
// [l * Points, (l + 1) * Points): log2(Points) rounds of zips, pairing vector k with
// k + Points / 2 and keeping the low zip at 2k and the high at 2k + 1.
template <typename Lanes, std::size_t Points>
inline void transpose(typename Lanes::V (&v)[Points]) {
    using V = typename Lanes::V;
    for (std::size_t width = Points; width > 1; width /= 2) {
        V next[Points];
        constexpr std::size_t half = Points / 2;
        for (std::size_t k = 0; k < half; ++k) {
            next[2 * k] = Lanes::zip_low(v[k], v[k + half]);
            next[2 * k + 1] = Lanes::zip_high(v[k], v[k + half]);
        }
        for (std::size_t k = 0; k < Points; ++k) {
            v[k] = next[k];
        }
    }
}

// p with its bits reversed, for the log2(Points) bits of a place in a group.
template <std::size_t Points>
constexpr std::size_t reversed_point(std::size_t p) {
    std::size_t r = 0;
    for (std::size_t bit = 1; bit < Points; bit *= 2) {
        r = 2 * r + ((p & bit) != 0 ? 1 : 0);
    }
    return r;
}

// From this many points (64 KiB of output) the first stage goes in tiles (see below); below
// it, the output stays in the first-level cache and each lane writes to its group directly.
constexpr std::size_t kTiledFrom = 8192;

// The runs of one transposed pair of vectors, lanes first + K, to their places.
template <typename Lanes, std::size_t Points, typename Place, std::size_t... K>
inline void store_runs(float* re, float* im, const Place& place, std::size_t first,
                       typename Lanes::V r, typename Lanes::V i,
                       std::index_sequence<K...> /*runs*/) {
    (Lanes::template store_run<Points, K>(re + place(first + K), r), ...);
    (Lanes::template store_run<Points, K>(im + place(first + K), i), ...);
}

// read(place, r, i) loads the W points at natural places [place, place + W).
template <typename Lanes, std::size_t Points, typename Read>
inline void first_stage_lanes(float* re, float* im, std::size_t n, const std::uint32_t* reversed,
                              const FirstTwiddles& t, const Read& read) {
    using V = typename Lanes::V;
    constexpr std::size_t W = Lanes::W;
    constexpr std::size_t kPerVector = W / Points;
    const std::size_t rows = n / Points;
    V w1r[2];
    V w1i[2];
    V w2r[2];
    V w2i[2];
    for (std::size_t j = 0; j < Points / 4; ++j) {
        w1r[j] = Lanes::broadcast(t.w1r[j]);
        w1i[j] = Lanes::broadcast(t.w1i[j]);
        w2r[j] = Lanes::broadcast(t.w2r[j]);
        w2i[j] = Lanes::broadcast(t.w2i[j]);
    }
    // W columns from s: lane l's Points values go to out_re + place(l) and out_im + place(l).
    const auto columns = [&](std::size_t s, float* out_re, float* out_im, const auto& place) {
        V r[Points];
        V i[Points];
        for (std::size_t p = 0; p < Points; ++p) {
            read(reversed_point<Points>(p) * rows + s, r[p], i[p]);
        }
        first_stage_group<Points, V, Lanes>(r, i, w1r, w1i, w2r, w2i);
        transpose<Lanes, Points>(r);
        transpose<Lanes, Points>(i);
        for (std::size_t v = 0; v < Points; ++v) {
            store_runs<Lanes, Points>(out_re, out_im, place, v * kPerVector, r[v], i[v],
                                      std::make_index_sequence<kPerVector>{});
        }
    };
    if (rows < W * W || n < kTiledFrom) {
        // Small enough to stay in the first-level cache: each lane writes to its group.
        for (std::size_t s = 0; s < rows; s += W) {
            columns(s, re, im, [reversed, s](std::size_t l) { return reversed[s + l]; });
        }
        return;
    }
    // Written straight to their groups, one call's W runs would land a power of two apart,
    // in a few of the cache's sets, and evict one another before their lines were whole. So
    // the columns go in tiles: W calls whose first columns are rows / W apart. Lane l of
    // every call in a tile writes to the same run of W consecutive groups (the calls' columns
    // differ in their top bits, the groups in their bottom ones), so the tile is gathered in
    // a small buffer, run by run, and each run is copied to its place whole.
    alignas(64) float stage_re[W * W * Points];
    alignas(64) float stage_im[W * W * Points];
    const std::size_t apart = rows / W;
    for (std::size_t tile = 0; tile < apart; tile += W) {
        for (std::size_t call = 0; call < W; ++call) {
            const std::size_t s = call * apart + tile;
            // This call's place in every run: its top bits reversed.
            const std::size_t slot = reversed[call * apart] / Points;
            columns(s, stage_re, stage_im,
                    [slot](std::size_t l) { return (l * W + slot) * Points; });
        }
        for (std::size_t l = 0; l < W; ++l) {
            std::memcpy(re + reversed[tile + l], stage_re + l * W * Points,
                        W * Points * sizeof(float));
            std::memcpy(im + reversed[tile + l], stage_im + l * W * Points,
                        W * Points * sizeof(float));
        }
    }
}

// The stage over n points with groups of 8 (first_two) or 4; false where there are fewer
// than W columns (n / Points < W), which the scalar stage then takes.
template <typename Lanes, typename Read>
bool first_stage_any(float* re, float* im, std::size_t n, bool first_two,
                     const std::uint32_t* reversed, const FirstTwiddles& t, const Read& read) {
    if (n / (first_two ? 8 : 4) < Lanes::W) {
        return false;
    }
    if (first_two) {
        first_stage_lanes<Lanes, 8>(re, im, n, reversed, t, read);
    } else {
        first_stage_lanes<Lanes, 4>(re, im, n, reversed, t, read);
    }
    return true;
}

// The two ways the transforms read: forward() its real samples in pairs (point x is samples
// 2x and 2x + 1; the first n samples at `first`, the next n at `second`), inverse() two split
// arrays. A read of W points starts at a multiple of W, and the lanes run only where n is at
// least 4 W, so point n / 2, where `second` begins, is a multiple of W: no read crosses it.
template <typename Lanes>
bool first_stage_pairs(const float* first, const float* second, float* re, float* im, std::size_t n,
                       bool first_two, const std::uint32_t* reversed, const FirstTwiddles& t) {
    return first_stage_any<Lanes>(
        re, im, n, first_two, reversed, t,
        [first, second, n](std::size_t place, typename Lanes::V& r, typename Lanes::V& i) {
            const std::size_t at = 2 * place;
            Lanes::pairs(at < n ? first + at : second + (at - n), r, i);
        });
}

template <typename Lanes>
bool first_stage_split(const float* real, const float* imag, float* re, float* im, std::size_t n,
                       bool first_two, const std::uint32_t* reversed, const FirstTwiddles& t) {
    return first_stage_any<Lanes>(
        re, im, n, first_two, reversed, t,
        [real, imag](std::size_t place, typename Lanes::V& r, typename Lanes::V& i) {
            r = Lanes::load(real + place);
            i = Lanes::load(imag + place);
        });
}

}  // namespace kavri::fft_detail
