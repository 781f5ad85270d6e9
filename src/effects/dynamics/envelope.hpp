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

}  // namespace kavri
