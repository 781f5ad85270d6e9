// Swept fractional delay behind chorus, flanger and vibrato.
//
// A short delay per channel whose time a sine oscillator sweeps between "delay_ms" and
// "delay_ms" + "depth_ms", read between samples, with feedback and a wet/dry mix. Each
// channel's oscillator runs a quarter cycle ahead of the previous channel's, which spreads
// the sweep across a stereo image.
//
// "feedback"  in [-1, 1].             "mix"       wet share in [0, 1] (vibrato: wet only).
// "rate_hz"   sweep rate, >= 0.01.    "depth_ms"  sweep width; negative sweeps below the
// "delay_ms"  shortest (or, with a negative depth, longest) delay, >= 0.001 and never below
//             one sample.                         base delay.
//
//             feedback  mix   rate_hz  depth_ms  delay_ms
// chorus      0.12      0.35  0.9      7.5       18
// flanger     0.35      0.45  0.25     1.8       2.5
// vibrato     0.0       1.0   5.0      3.5       5.5
#pragma once

#include <cstdint>
#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"
#include "engine/zeroed_vector.hpp"

namespace kavri {

class ModulatedDelayEffect final : public Effect {
public:
    ModulatedDelayEffect(float sample_rate_value, int channels, float delay_ms, float depth_ms,
                         float rate_hz_value, float mix_value, float feedback_value,
                         bool wet_only_value, float phase_step);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool process_from(const float* source, float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers) override;

    float sample_rate;
    float rate_hz;
    float base_delay_samples;
    float depth_samples;
    float mix;
    float feedback;
    bool wet_only;
    std::vector<ZeroedVector<float>> lines;
    std::vector<float> phase_offsets;
    std::uint64_t write_pos;
    std::uint64_t frame_counter;
};

// The defaults that tell chorus, flanger and vibrato apart.
struct ModulatedDelayDefaults {
    float feedback;
    float mix;
    float rate_hz;
    float depth_ms;
    float delay_ms;
};

// wet_only: output the delayed signal alone (vibrato). phase_step: how far each channel's
// oscillator runs ahead of the previous channel's, in radians.
PlannedEffect plan_modulated_delay_effect(const ParamReader& params, float sample_rate,
                                          int channels, const ModulatedDelayDefaults& defaults,
                                          bool wet_only, float phase_step);

}  // namespace kavri
