// Compressor and upward compressor: per-channel gain from each channel's own peak envelope,
// with a hard knee, no look-ahead and no linking between channels.
//
// compressor          turns down what rises above "threshold_db" (default -18) so that every
//                     dB over it comes out as 1 / "ratio" dB (default 4, at least 1), then
//                     adds "makeup_db" (default 0) to everything. "attack_ms" (10) and
//                     "release_ms" (80) set how fast the envelope follows rises and falls.
// upward_compression  lifts what lies below "threshold_db" (default -42) so that every dB
//                     under it comes out as 1 / "ratio" dB (default 2, at least 1), never by
//                     more than "max_gain_db" (default 18). "attack_ms" 12, "release_ms" 120.
#pragma once

#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class CompressorEffect final : public Effect {
public:
    CompressorEffect(float threshold_db, float ratio_value, float attack_ms, float release_ms,
                     float makeup_db, float sample_rate, int channels);
    ~CompressorEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float threshold;
    float ratio;
    float attack_coeff;
    float release_coeff;
    float makeup;
    std::vector<float> envelope;
};

class UpwardCompressorEffect final : public Effect {
public:
    UpwardCompressorEffect(float threshold_db, float ratio_value, float attack_ms, float release_ms,
                           float max_gain_db, float sample_rate, int channels);
    ~UpwardCompressorEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;

    float threshold;
    float ratio;
    float attack_coeff;
    float release_coeff;
    float max_gain;
    std::vector<float> envelope;
};

PlannedEffect plan_compressor_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_upward_compressor_effect(const ParamReader& params, float sample_rate,
                                            int channels);

}  // namespace kavri
