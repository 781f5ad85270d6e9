// Rotary speaker: a crossover splits each channel into bass and treble. The bass rotor gives
// the bass a slow swell, the treble rotor gives the treble a faster swell and, with two or
// more channels, swings it between channels 0 and 1. Gain modulation only: no Doppler.
//
// "crossover_hz"  bass/treble split, within [5 Hz, 0.499 * sample rate], default 900.
// "mix"           wet share in [0, 1], default 0.65.
// "depth"         how far the treble swings between the sides, in [0, 1], default 0.7.
// "rate_hz"       treble rotor speed, at least 0.01 Hz, default 0.8; the bass rotor turns at
//                 0.62 times it, also at least 0.01 Hz.
#pragma once

#include <vector>

#include "effects/filters/biquad.hpp"
#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class RotarySpeakerEffect final : public Effect {
public:
    RotarySpeakerEffect(float sample_rate, float crossover_hz, float mix, float depth,
                        float rate_hz, int channels);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float horn_increment;
    float drum_increment;
    float depth;
    float mix;
    float horn_phase;
    float drum_phase;
    BiquadCoefficients crossover;
    std::vector<BiquadState> crossover_state;
};

PlannedEffect plan_rotary_speaker_effect(const ParamReader& params, float sample_rate,
                                         int channels);

}  // namespace kavri
