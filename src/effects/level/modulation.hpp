// Sine-LFO level effects.
//
// tremolo   a level wobble on every channel: the gain swings between 1 - depth and 1,
//           starting half way down. "depth": in [0, 1], default 0.5. "rate_hz": wobbles per
//           second, at least 0.01, default 5.
// auto_pan  sweeps the sound between channel 0 and channel 1 with a constant-power pan,
//           starting in the centre and moving towards channel 1 first. "depth": how far it
//           swings, in [0, 1], default 1. "rate_hz": sweeps per second, at least 0.01,
//           default 0.35. A mono buffer is left alone; channels 2 and above are untouched.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class TremoloEffect final : public Effect {
public:
    TremoloEffect(float sample_rate, int channels, float depth_value, float rate_hz);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float phase_increment;
    float depth;
    std::vector<float> phases;
};

class AutoPanEffect final : public Effect {
public:
    AutoPanEffect(float sample_rate_value, float depth_value, float rate_hz_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float sample_rate;
    float rate_hz;
    float depth;
    std::uint64_t frame_counter;
};

PlannedEffect plan_tremolo_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_auto_pan_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
