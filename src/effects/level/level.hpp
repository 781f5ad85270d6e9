// Memoryless level and waveshaping effects.
//
// gain        multiplies every sample by a fixed gain.        "db": decibels, default 0.
// clip        hard-clips every sample at +/- a level.         "threshold": the level, sign
//             dropped and at least 0.0001, default 0.98.
// distortion  tanh soft clipping, scaled so that full scale stays full scale when the drive
//             is at least 1.                                  "drive": at least 0.01, default 2.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class GainEffect final : public Effect {
public:
    explicit GainEffect(float db);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float linear_gain;
};

class ClipEffect final : public Effect {
public:
    explicit ClipEffect(float threshold_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float threshold;
};

class DistortionEffect final : public Effect {
public:
    explicit DistortionEffect(float drive_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float drive;
    float normaliser;
};

PlannedEffect plan_gain_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_clip_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_distortion_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
