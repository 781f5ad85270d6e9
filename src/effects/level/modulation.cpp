#include "effects/level/modulation.hpp"

#include <cmath>
#include <memory>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/level/pan_law.hpp"
#include "engine/block_walk.hpp"
#include "engine/channel_walk.hpp"

namespace kavri {

TremoloEffect::TremoloEffect(float sample_rate, int channels, float depth_value, float rate_hz)
    : phase_increment((kTwoPi * at_least(rate_hz, 0.01f)) / sample_rate),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      phases(static_cast<std::size_t>(channels < 0 ? 0 : channels), 0.0f) {}

void TremoloEffect::process(float* data, unsigned long long frames, int channels,
                            unsigned long long block_size, unsigned int workers) {
    struct Kernel {
        // State: the oscillator phase.
        float* phases;
        float increment;
        float depth;
        float floor_gain;

        float load(int ch) const { return phases[ch]; }
        void store(int ch, float ph) const { phases[ch] = ph; }
        float step(float& ph, float x) const {
            const float s = std::sin(ph);
            const float g = ((s + 1.0f) * 0.5f) * depth + floor_gain;
            ph = ph + increment;
            // One subtraction, no remainder: the phase stays in [0, 2 pi) for any increment
            // below 2 pi, and a NaN phase is left as it is.
            if (ph >= kTwoPi) {
                ph -= kTwoPi;
            }
            return g * x;
        }
    };
    const Kernel kernel{phases.data(), phase_increment, depth, 1.0f - depth};
    for_each_channel_sample(data, frames, channels, block_size, workers, kernel);
}

AutoPanEffect::AutoPanEffect(float sample_rate_value, float depth_value, float rate_hz_value)
    : sample_rate(sample_rate_value),
      rate_hz(at_least(rate_hz_value, 0.01f)),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      frame_counter(0) {}

void AutoPanEffect::process(float* data, unsigned long long frames, int channels,
                            unsigned long long block_size, unsigned int) {
    if (channels <= 1 || frames == 0) {
        return;
    }
    const auto stride = static_cast<unsigned long long>(channels);
    const float angular_rate = rate_hz * kTwoPi;
    const float d = depth;
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        std::uint64_t t = frame_counter;
        float* frame = data + start * stride;
        for (unsigned long long i = 0; i < count; ++i, frame += stride) {
            // From the absolute frame number, not accumulated: no drift over long buffers.
            const float phase = (static_cast<float>(t) / sample_rate) * angular_rate;
            const float lfo = std::sin(phase);
            const PanGains gains = pan_gains(lfo * d);
            frame[0] = frame[0] * gains.left;
            frame[1] = frame[1] * gains.right;
            ++t;
        }
        frame_counter = t;
    });
}

PlannedEffect plan_tremolo_effect(const ParamReader& params, float sample_rate, int channels) {
    const float depth = params.read_float("depth", 0.5f);
    const float rate_hz = params.read_float("rate_hz", 5.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(float));
    memory.state_name = "oscillator state";
    return plan_effect<TremoloEffect>(memory, [=] {
        return std::make_unique<TremoloEffect>(sample_rate, channels, depth, rate_hz);
    });
}

PlannedEffect plan_auto_pan_effect(const ParamReader& params, float sample_rate, int) {
    const float depth = params.read_float("depth", 1.0f);
    const float rate_hz = params.read_float("rate_hz", 0.35f);
    return plan_effect<AutoPanEffect>(EffectMemory{}, [=] {
        return std::make_unique<AutoPanEffect>(sample_rate, depth, rate_hz);
    });
}

}  // namespace kavri
