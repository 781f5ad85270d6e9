#include "effects/level/modulation.hpp"

#include <cmath>
#include <memory>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/level/pan_law.hpp"
#include "engine/block_walk.hpp"
#include "engine/channel_walk.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

TremoloEffect::TremoloEffect(float sample_rate, int channels, float depth_value, float rate_hz)
    : phase_increment((kTwoPi * at_least(rate_hz, kSlowestLfoHz)) / sample_rate),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      phases(static_cast<std::size_t>(channels < 0 ? 0 : channels), 0.0f) {}

void TremoloEffect::process(float* data, unsigned long long frames, int channels,
                            unsigned long long block_size, unsigned int workers) {
    const float increment = phase_increment;
    const float d = depth;
    const float floor_gain = 1.0f - depth;
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        const auto stride = static_cast<unsigned long long>(channels);
        for (int ch = first_channel; ch < last_channel; ++ch) {
            float ph = phases[static_cast<std::size_t>(ch)];
            for_each_block(
                frames, block_size, [&](unsigned long long start, unsigned long long count) {
                    constexpr unsigned long long chunk = 256;
                    float phase[chunk];
                    float sine[chunk];
                    for (unsigned long long done = 0; done < count; done += chunk) {
                        const unsigned long long m = count - done < chunk ? count - done : chunk;
                        // The oscillator runs on its own; its sines are taken a chunk at a time.
                        for (unsigned long long i = 0; i < m; ++i) {
                            phase[i] = ph;
                            ph = ph + increment;
                            // One subtraction, no remainder: the phase stays in [0, 2 pi) for any
                            // increment below 2 pi, and a NaN phase is left as it is.
                            if (ph >= kTwoPi) {
                                ph -= kTwoPi;
                            }
                        }
                        vecmath::sinf_array(phase, sine, static_cast<std::size_t>(m));
                        float* x =
                            data + (start + done) * stride + static_cast<unsigned long long>(ch);
                        for (unsigned long long i = 0; i < m; ++i, x += stride) {
                            const float g = ((sine[i] + 1.0f) * 0.5f) * d + floor_gain;
                            *x = g * *x;
                        }
                    }
                });
            phases[static_cast<std::size_t>(ch)] = ph;
        }
    });
}

bool TremoloEffect::lane_params(int channel, LaneParams& out) {
    out.kind = LaneKind::tremolo;
    out.value[0] = phase_increment;
    out.value[1] = depth;
    out.value[2] = 1.0f - depth;
    out.running = phases[static_cast<std::size_t>(channel)];
    return true;
}

AutoPanEffect::AutoPanEffect(float sample_rate_value, float depth_value, float rate_hz_value)
    : sample_rate(sample_rate_value),
      rate_hz(at_least(rate_hz_value, kSlowestLfoHz)),
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
    constexpr unsigned long long chunk = 256;
    float phase[chunk];
    float pan[chunk];
    float left[chunk];
    float right[chunk];
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        std::uint64_t t = frame_counter;
        float* frame = data + start * stride;
        for (unsigned long long done = 0; done < count; done += chunk) {
            const unsigned long long m = count - done < chunk ? count - done : chunk;
            for (unsigned long long i = 0; i < m; ++i) {
                // From the absolute frame number, not accumulated, so no rounding adds up;
                // the angle is never wrapped, so its own rounding grows with the time.
                phase[i] = (static_cast<float>(t + i) / sample_rate) * angular_rate;
            }
            vecmath::sinf_array(phase, pan, static_cast<std::size_t>(m));
            for (unsigned long long i = 0; i < m; ++i) {
                pan[i] = pan[i] * d;
            }
            pan_gains_run(pan, phase, left, right, static_cast<std::size_t>(m));
            for (unsigned long long i = 0; i < m; ++i, frame += stride) {
                frame[0] = frame[0] * left[i];
                frame[1] = frame[1] * right[i];
            }
            t += m;
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
    return plan_effect<TremoloEffect>(
        memory,
        [=] { return std::make_unique<TremoloEffect>(sample_rate, channels, depth, rate_hz); },
        LaneKind::tremolo);
}

PlannedEffect plan_auto_pan_effect(const ParamReader& params, float sample_rate, int) {
    const float depth = params.read_float("depth", 1.0f);
    const float rate_hz = params.read_float("rate_hz", 0.35f);
    return plan_effect<AutoPanEffect>(EffectMemory{}, [=] {
        return std::make_unique<AutoPanEffect>(sample_rate, depth, rate_hz);
    });
}

}  // namespace kavri
