#include "effects/filters/phaser.hpp"

#include <cmath>
#include <cstdint>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "engine/block_walk.hpp"
#include "engine/state_size.hpp"

namespace kavri {

PhaserEffect::PhaserEffect(float sample_rate_value, int stages_value, float mix_value,
                           float feedback_value, float center_hz_value, float depth_value,
                           float rate_hz_value, int channels)
    : sample_rate(sample_rate_value),
      rate_hz(at_least(rate_hz_value, 0.01f)),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      center_hz(at_least(center_hz_value, 80.0f)),
      feedback(clamp_to(feedback_value, -1.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      stages(stages_value > 0 ? stages_value : 1),
      frame_counter(0) {
    // "stages" has no upper bound, so a large value times many channels can ask for more
    // state than the machine holds: refuse it before any of it is allocated.
    const auto channel_count = static_cast<std::uint64_t>(channels);
    require_state_fits(checked_count_product(static_cast<std::uint64_t>(stages), channel_count),
                       sizeof(AllpassStage));
    allpass_state.assign(channel_count, std::vector<AllpassStage>(static_cast<std::size_t>(stages)));
    feedback_memory.assign(channel_count, 0.0f);
}

void PhaserEffect::process(float* data, unsigned long long frames, int channels,
                           unsigned long long block_size, unsigned int) {
    const float hi = 0.45f * sample_rate > 80.0f ? 0.45f * sample_rate : 80.0f;
    const float angular_rate = rate_hz * kTwoPi;
    const float dry = 1.0f - mix;
    const auto stride = static_cast<unsigned long long>(channels);
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        unsigned long long n = frame_counter;
        float* frame = data + start * stride;
        for (unsigned long long i = 0; i < count; ++i, ++n, frame += stride) {
            // The sweep is recomputed from the frame count, so it never drifts.
            const float s = std::sin((static_cast<float>(n) / sample_rate) * angular_rate);
            float fc = (depth * 1.65f * ((s + 1.0f) * 0.5f) + 0.35f) * center_hz;
            if (fc < 80.0f) {
                fc = 80.0f;
            }
            if (hi < fc) {
                fc = hi;
            }
            const float m = std::tan(fc * kPi / sample_rate);
            float denominator = 1.0f + m;
            if (denominator < 0.000001f) {
                denominator = 0.000001f;
            }
            const float u = (1.0f - m) / denominator;
            const float minus_u = -u;
            for (int k = 0; k < channels; ++k) {
                const float x = frame[k];
                float t = feedback_memory[static_cast<std::size_t>(k)] * feedback + x;
                for (AllpassStage& stage : allpass_state[static_cast<std::size_t>(k)]) {
                    const float y = t * minus_u + stage.x1 + stage.y1 * u;
                    stage.x1 = t;
                    stage.y1 = y;
                    t = y;
                }
                feedback_memory[static_cast<std::size_t>(k)] = t;
                frame[k] = t * mix + x * dry;
            }
        }
        frame_counter = n;
    });
}

EffectPtr make_phaser_effect(const ParamReader& params, float sample_rate, int channels) {
    const int stages = params.read_int("stages", 4);
    const float mix = params.read_float("mix", 0.5f);
    const float feedback = params.read_float("feedback", 0.2f);
    const float center_hz = params.read_float("center_hz", 900.0f);
    const float depth = params.read_float("depth", 0.75f);
    const float rate_hz = params.read_float("rate_hz", 0.35f);
    return std::make_unique<PhaserEffect>(sample_rate, stages, mix, feedback, center_hz, depth,
                                          rate_hz, channels);
}

}  // namespace kavri
