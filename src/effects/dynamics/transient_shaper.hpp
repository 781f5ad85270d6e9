// Transient shaper: brings the onsets of notes forward or back, and the decays up or down,
// without any threshold. A fast follower (1 ms rise, 12 ms fall) is compared with a slow one;
// where the fast one leads, the sound is starting, where it trails, the sound is dying away.
//
// "attack"      onset weight in [-1, 2], default 0.7: positive sharpens hits, negative softens.
// "sustain"     decay weight in [-1, 2], default 0.2: positive lifts tails, negative dries them.
// "attack_ms"   rise time of the slow follower, default 18.
// "release_ms"  fall time of the slow follower, default 120.
// The gain always stays within [0.15, 4].
#pragma once

#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class TransientShaperEffect final : public Effect {
public:
    TransientShaperEffect(float sample_rate, float release_ms, float attack_ms, float sustain,
                          float attack, int channels);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float attack;
    float sustain;
    float fast_attack_coeff;
    float fast_release_coeff;
    float attack_coeff;
    float release_coeff;
    std::vector<float> fast_envelope;
    std::vector<float> slow_envelope;
};

PlannedEffect plan_transient_shaper_effect(const ParamReader& params, float sample_rate,
                                           int channels);

}  // namespace kavri
