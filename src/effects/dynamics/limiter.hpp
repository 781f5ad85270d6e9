// Peak limiter: keeps every sample of every channel within +/- the ceiling.
//
// "ceiling_db" (default -1) is the highest level let out. A smoothed gain per channel falls
// toward whatever would bring the current peak to the ceiling within "attack_ms" (default 1)
// and recovers within "release_ms" (default 60); a hard clamp catches what the gain has not
// yet removed. No look-ahead and no linking between channels.
#pragma once

#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class LimiterEffect final : public Effect {
public:
    LimiterEffect(float ceiling_db, float attack_ms, float release_ms, float sample_rate,
                  int channels);
    ~LimiterEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float ceiling;
    float attack_coeff;
    float release_coeff;
    std::vector<float> gain;
};

PlannedEffect plan_limiter_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
