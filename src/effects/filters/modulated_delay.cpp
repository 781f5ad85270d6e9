#include "effects/filters/modulated_delay.hpp"

#include <cmath>
#include <memory>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/filters/delay.hpp"
#include "engine/block_walk.hpp"
#include "engine/state_size.hpp"

namespace kavri {

namespace {

// Room for the longest swept delay plus 10 ms, plus 4 samples, and never fewer than 8.
std::uint64_t swept_line_length(float sample_rate, float depth_ms, float d) {
    const float samples = std::ceil((sample_rate * ((std::fabs(depth_ms) + d) + 10.0f)) / 1000.0f);
    const char* what = std::isnan(depth_ms) ? "The modulated delay length from \"depth_ms\""
                                            : "The modulated delay length from \"delay_ms\"";
    const std::uint64_t length = float_to_count(samples, what) + 4;
    return length < 8 ? 8 : length;
}

}  // namespace

ModulatedDelayEffect::ModulatedDelayEffect(float sample_rate_value, int channels, float delay_ms,
                                           float depth_ms, float rate_hz_value, float mix_value,
                                           float feedback_value, bool wet_only_value,
                                           float phase_step)
    : sample_rate(sample_rate_value), wet_only(wet_only_value), write_pos(0), frame_counter(0) {
    rate_hz = at_least(rate_hz_value, 0.01f);
    const float d = at_least(delay_ms, 0.001f);
    base_delay_samples = at_least((sample_rate * d) / 1000.0f, 1.0f);
    depth_samples = (sample_rate * depth_ms) / 1000.0f;
    mix = clamp_to(mix_value, 0.0f, 1.0f);
    feedback = clamp_to(feedback_value, -1.0f, 1.0f);
    lines = make_delay_lines(channels, swept_line_length(sample_rate, depth_ms, d));
    phase_offsets.resize(lines.size());
    for (std::size_t k = 0; k < phase_offsets.size(); ++k) {
        phase_offsets[k] = static_cast<float>(k) * phase_step;
    }
}

void ModulatedDelayEffect::process(float* data, unsigned long long frames, int channels,
                                   unsigned long long block_size, unsigned int) {
    if (frames == 0 || channels < 1) {
        return;
    }
    const auto count_channels = static_cast<std::size_t>(channels);
    std::vector<float> dry(count_channels, 0.0f);
    std::vector<float> wet(count_channels, 0.0f);
    const float angular_rate = rate_hz * kTwoPi;
    const float dry_gain = 1.0f - mix;
    const std::uint64_t length = lines[0].size();
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* frame = data + start * count_channels;
        for (unsigned long long i = 0; i < count; ++i, frame += count_channels) {
            // Recomputed from the frame count, never accumulated, so no rounding drifts.
            const float angle = (static_cast<float>(frame_counter) / sample_rate) * angular_rate;
            for (std::size_t k = 0; k < count_channels; ++k) {
                dry[k] = frame[k];
                const float s = std::sin(phase_offsets[k] + angle);
                float delay = ((s + 1.0f) * 0.5f) * depth_samples + base_delay_samples;
                // Written so that a NaN sweep (from a NaN or infinite rate) becomes one
                // sample too: the read position below must stay finite.
                if (!(delay >= 1.0f)) {
                    delay = 1.0f;
                }
                wet[k] = read_interpolated(lines[k], static_cast<float>(write_pos) - delay);
            }
            for (std::size_t k = 0; k < count_channels; ++k) {
                frame[k] = wet_only ? wet[k] : mix * wet[k] + dry_gain * dry[k];
                lines[k][write_pos] = wet[k] * feedback + dry[k];
            }
            ++frame_counter;
            ++write_pos;
            if (!(write_pos < length)) {
                write_pos = 0;
            }
        }
    });
}

EffectPtr make_modulated_delay_effect(const ParamReader& params, float sample_rate, int channels,
                                      const ModulatedDelayDefaults& defaults, bool wet_only,
                                      float phase_step) {
    const float feedback = params.read_float("feedback", defaults.feedback);
    const float mix = params.read_float("mix", defaults.mix);
    const float rate_hz = params.read_float("rate_hz", defaults.rate_hz);
    const float depth_ms = params.read_float("depth_ms", defaults.depth_ms);
    const float delay_ms = params.read_float("delay_ms", defaults.delay_ms);
    return std::make_unique<ModulatedDelayEffect>(sample_rate, channels, delay_ms, depth_ms,
                                                  rate_hz, mix, feedback, wet_only, phase_step);
}

}  // namespace kavri
