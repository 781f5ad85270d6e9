// Downward expander and noise gate: turn down quiet material, per channel from that
// channel's own peak envelope, without linking channels.
//
// expander    below "threshold_db" (default -35) every dB under it comes out as "ratio" dB
//             (default 2, at least 1), so quiet parts get quieter; "makeup_db" (default 0)
//             applies to everything. "attack_ms" 8, "release_ms" 80.
// noise_gate  opens (gain 1) while the envelope is at or above "threshold_db" (default -45)
//             and closes to "floor_db" (default -80) below it, gliding open within
//             "attack_ms" (default 3) and shut within "release_ms" (default 60). It starts
//             closed; no hold and no hysteresis.
#pragma once

#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class ExpanderEffect final : public Effect {
public:
    ExpanderEffect(float threshold_db, float ratio_value, float attack_ms, float release_ms,
                   float makeup_db, float sample_rate, int channels);
    ~ExpanderEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;

    float threshold;
    float ratio;
    float attack_coeff;
    float release_coeff;
    float makeup;
    std::vector<float> envelope;
};

class NoiseGateEffect final : public Effect {
public:
    NoiseGateEffect(float threshold_db, float floor_db, float attack_ms, float release_ms,
                    float sample_rate, int channels);
    ~NoiseGateEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float threshold;
    float floor_gain;
    float attack_coeff;
    float release_coeff;
    std::vector<float> envelope;
    std::vector<float> gain;
};

PlannedEffect plan_expander_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_noise_gate_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
