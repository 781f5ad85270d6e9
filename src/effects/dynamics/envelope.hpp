// Level conversions and the peak follower shared by every dynamics effect.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "effects/clamp.hpp"

namespace kavri {

// `chosen ? a : b`, both already worked out, as bit operations. A choice between floats led
// by a float comparison stays a branch otherwise (the comparison may raise a floating-point
// exception, so the compiler will not run it in every lane); as bits, a law's loop over a
// whole piece runs in vector lanes. The result is a or b, bit for bit.
inline float choose(bool chosen, float a, float b) {
    std::uint32_t a_bits;
    std::uint32_t b_bits;
    std::memcpy(&a_bits, &a, sizeof a);
    std::memcpy(&b_bits, &b, sizeof b);
    const std::uint32_t mask = 0U - static_cast<std::uint32_t>(chosen);
    const std::uint32_t bits = (a_bits & mask) | (b_bits & ~mask);
    float out;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// Decibels to a linear amplitude: 10^(dB / 20), the division first.
inline float db_to_gain(float db) {
    return std::pow(10.0f, db / 20.0f);
}

// A time in milliseconds to a one-pole coefficient at the given sample rate. Times below
// 0.001 ms count as 0.001 ms; the closer to 1, the slower the follower.
inline float ms_to_coeff(float ms, float sample_rate) {
    const float t = at_least(ms, 0.001f);
    return std::exp(-1.0f / (t * 0.001f * sample_rate));
}

// The exponent of the compression law above its threshold: the gain is (e / threshold) to
// this power, so a ratio of r leaves 1/r of each decibel over.
inline float compression_exponent(float ratio) {
    return 1.0f / ratio - 1.0f;
}

// One step of a peak follower: the envelope rises toward |v| with the attack coefficient
// and falls toward it with the release coefficient. Equality and NaN take the release.
inline float envelope_step(float envelope, float v, float attack_coeff, float release_coeff) {
    const float level = std::fabs(v);
    const float c = level > envelope ? attack_coeff : release_coeff;
    return (1.0f - c) * level + c * envelope;
}

#if defined(__SSE2__)
// Loads and stores of 1, 2 or 4 floats (the channels of a lane walk); the lanes above Width
// are zeros and never kept.
template <int Width>
inline __m128 lanes_load(const float* p) {
    if constexpr (Width == 1) {
        return _mm_load_ss(p);
    } else if constexpr (Width == 2) {
        // Two floats as one 8-byte move; memcpy, since the floats are no double.
        double pair;
        std::memcpy(&pair, p, sizeof pair);
        return _mm_castpd_ps(_mm_set_sd(pair));
    } else {
        return _mm_loadu_ps(p);
    }
}
template <int Width>
inline void lanes_store(float* p, __m128 v) {
    if constexpr (Width == 1) {
        _mm_store_ss(p, v);
    } else if constexpr (Width == 2) {
        const double pair = _mm_cvtsd_f64(_mm_castps_pd(v));
        std::memcpy(p, &pair, sizeof pair);
    } else {
        _mm_storeu_ps(p, v);
    }
}

// Where `mask` is set, a; elsewhere b.
inline __m128 lanes_select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}
#endif

// The coefficients of a follower with 1 - c worked out once for each: the same values as
// envelope_step's own subtraction, off the chain of steps that each wait for the last.
struct FollowerCoefficients {
    float attack;
    float release;
    float keep_attack;
    float keep_release;

    FollowerCoefficients(float attack_coeff, float release_coeff)
        : attack(attack_coeff),
          release(release_coeff),
          keep_attack(1.0f - attack_coeff),
          keep_release(1.0f - release_coeff) {}

    // envelope_step(envelope, v, attack, release), bit for bit.
    float step(float envelope, float v) const {
        const float level = std::fabs(v);
        const bool rises = level > envelope;
        const float c = rises ? attack : release;
        const float rest = rises ? keep_attack : keep_release;
        return rest * level + c * envelope;
    }

    // Width neighbouring channels followed over m frames, frame i's samples at
    // rows + i * stride: each new envelope is step()'s, written to env[i * Width + k], and
    // state holds the channels' envelopes before and after. With SSE2 the channels (1, 2 or
    // 4) go side by side in one register, and both of a step's outcomes are worked out and
    // one kept by a mask: the choice between attack and release follows the signal, so as a
    // branch it is mispredicted often, and the mask keeps it off the chain of steps.
    template <int Width>
    void walk(float (&state)[Width], const float* rows, std::size_t stride, std::size_t m,
              float* env) const {
#if defined(__SSE2__)
        if constexpr (Width == 1 || Width == 2 || Width == 4) {
            walk_lanes<Width>(state, rows, stride, m, env);
            return;
        }
#endif
        for (std::size_t i = 0; i < m; ++i, rows += stride) {
            for (int k = 0; k < Width; ++k) {
                state[k] = step(state[k], rows[k]);
                env[i * Width + static_cast<std::size_t>(k)] = state[k];
            }
        }
    }

#if defined(__SSE2__)
private:
    template <int Width>
    void walk_lanes(float (&state)[Width], const float* rows, std::size_t stride, std::size_t m,
                    float* env) const {
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
        const __m128 a = _mm_set1_ps(attack);
        const __m128 r = _mm_set1_ps(release);
        const __m128 ka = _mm_set1_ps(keep_attack);
        const __m128 kr = _mm_set1_ps(keep_release);
        __m128 e = lanes_load<Width>(state);
        for (std::size_t i = 0; i < m; ++i, rows += stride) {
            const __m128 level = _mm_and_ps(lanes_load<Width>(rows), magnitude);
            // level > e, false for NaN as in step(), which then takes the release.
            const __m128 rises = _mm_cmplt_ps(e, level);
            const __m128 up = _mm_add_ps(_mm_mul_ps(ka, level), _mm_mul_ps(a, e));
            const __m128 down = _mm_add_ps(_mm_mul_ps(kr, level), _mm_mul_ps(r, e));
            e = lanes_select(rises, up, down);
            lanes_store<Width>(env + i * Width, e);
        }
        lanes_store<Width>(state, e);
    }
#endif
};

}  // namespace kavri
