// follow_and_raise_avx512, built for AVX-512F with AVX-512DQ through the pragma below; callers
// check vecmath::powf_runs_avx512 first. What this file builds for AVX-512 stays inside it
// (the lanes' types are in anonymous namespaces), so no code built for AVX-512 is shared with
// code built for every processor; what it takes from the headers included before the pragma
// (the followers' lane loads and stores) is built for every processor, here as elsewhere.
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "effects/dynamics/follow_and_raise.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")

#include "engine/vecmath/avx512_doubles.hpp"
#include "engine/vecmath/powf_lanes.hpp"

namespace kavri {

namespace {

using Lanes = vecmath::detail::Avx512Doubles;
using Powf = vecmath::detail::PowfLanes<Lanes>;
constexpr std::size_t kLanes = Lanes::W;
using Floats = Lanes::F;

// Width followers side by side in the low lanes of one register; the lanes above Width hold
// zeros and are never kept.
template <int Width>
struct Followers {
    __m128 attack;
    __m128 release;
    __m128 keep_attack;
    __m128 keep_release;
    __m128 magnitude;
    __m128 envelope;

    Followers(const FollowerCoefficients& f, const float (&state)[Width])
        : attack(_mm_set1_ps(f.attack)),
          release(_mm_set1_ps(f.release)),
          keep_attack(_mm_set1_ps(f.keep_attack)),
          keep_release(_mm_set1_ps(f.keep_release)),
          magnitude(_mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))),
          envelope(lanes_load<Width>(state)) {}

    // FollowerCoefficients::step for each lane: both outcomes worked out, and the attack's
    // kept where the level is above the envelope (never for NaN), by one blend.
    void step(const float* frame, float* out) {
        const __m128 level = _mm_and_ps(lanes_load<Width>(frame), magnitude);
        const __m128 rises = _mm_cmplt_ps(envelope, level);
        const __m128 up = _mm_add_ps(_mm_mul_ps(keep_attack, level), _mm_mul_ps(attack, envelope));
        const __m128 down =
            _mm_add_ps(_mm_mul_ps(keep_release, level), _mm_mul_ps(release, envelope));
        envelope = _mm_blendv_ps(down, up, rises);
        lanes_store<Width>(out, envelope);
    }
};

// power[j] = powf(env[j] / divisor, exponent) for `count` (at most kLanes) samples from j.
void raise(const float* env, float divisor, float exponent, float* power, std::size_t count) {
    Floats e;
    if (count == kLanes) {
        std::memcpy(&e, env, sizeof e);
    } else {
        // A short last run: the lanes past it hold 1, whose powers are not kept.
        for (std::size_t l = 0; l < kLanes; ++l) {
            e[l] = 1.0f;
        }
        std::memcpy(&e, env, count * sizeof(float));
    }
    const Floats quotient = e / divisor;
    float base[kLanes];
    std::memcpy(base, &quotient, sizeof base);
    float lanes[kLanes];
    Powf::powf(base, exponent, lanes);
    std::memcpy(power, lanes, count * sizeof(float));
}

}  // namespace

template <int Width>
void follow_and_raise_avx512(const FollowerCoefficients& follower, float (&state)[Width],
                             const float* rows, std::size_t m, float divisor, float exponent,
                             float* env, float* power) {
    // Frames between two runs of powers: one run's worth of samples. The runs follow the
    // chain at one run's distance, each taken between two of its steps, so that the
    // processor has the powers' work at hand while every step waits on the last.
    constexpr std::size_t kEvery = kLanes / Width;
    Followers<Width> followers(follower, state);
    const std::size_t n = m * Width;
    std::size_t raised = 0;  // samples whose powers are taken
    for (std::size_t i = 0; i < m; ++i) {
        followers.step(rows + i * Width, env + i * Width);
        if (i % kEvery == kEvery - 1 && i >= 2 * kEvery) {
            raise(env + raised, divisor, exponent, power + raised, kLanes);
            raised += kLanes;
        }
    }
    for (; raised < n; raised += kLanes) {
        const std::size_t count = n - raised < kLanes ? n - raised : kLanes;
        raise(env + raised, divisor, exponent, power + raised, count);
    }
    lanes_store<Width>(state, followers.envelope);
}

template void follow_and_raise_avx512<1>(const FollowerCoefficients&, float (&)[1], const float*,
                                         std::size_t, float, float, float*, float*);
template void follow_and_raise_avx512<2>(const FollowerCoefficients&, float (&)[2], const float*,
                                         std::size_t, float, float, float*, float*);
template void follow_and_raise_avx512<4>(const FollowerCoefficients&, float (&)[4], const float*,
                                         std::size_t, float, float, float*, float*);

}  // namespace kavri

#pragma GCC pop_options
