// Level conversions and the peak follower shared by every dynamics effect.
#pragma once

#include <cmath>

#include "effects/clamp.hpp"

namespace kavri {

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

// One step of a peak follower: the envelope rises toward |v| with the attack coefficient
// and falls toward it with the release coefficient. Equality and NaN take the release.
inline float envelope_step(float envelope, float v, float attack_coeff, float release_coeff) {
    const float level = std::fabs(v);
    const float c = level > envelope ? attack_coeff : release_coeff;
    return (1.0f - c) * level + c * envelope;
}

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
};

}  // namespace kavri
