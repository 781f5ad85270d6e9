#include "effects/filters/rotary_speaker.hpp"

#include <cmath>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/level/pan_law.hpp"
#include "engine/block_walk.hpp"

namespace kavri {

namespace {

float rotor_increment(float rate_hz, float sample_rate) {
    return (at_least(rate_hz, 0.01f) * kTwoPi) / sample_rate;
}

// Advances a rotor by one frame and keeps its phase within one turn. A step of more than a
// turn (a rotor faster than the sample rate) needs the remainder after the first subtraction.
float advance_rotor(float phase, float increment) {
    phase += increment;
    if (phase >= kTwoPi) {
        phase -= kTwoPi;
        if (phase >= kTwoPi) {
            phase = std::fmod(phase, kTwoPi);
        }
    }
    return phase;
}

}  // namespace

RotarySpeakerEffect::RotarySpeakerEffect(float sample_rate, float crossover_hz, float mix_value,
                                         float depth_value, float rate_hz, int channels)
    : horn_increment(rotor_increment(rate_hz, sample_rate)),
      drum_increment(rotor_increment(0.62f * rate_hz, sample_rate)),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      horn_phase(0.0f),
      drum_phase(0.0f),
      crossover(design_biquad(FilterKind::lowpass, crossover_hz, kInvSqrt2, 0.0f, 1.0f,
                              sample_rate)),
      crossover_state(static_cast<std::size_t>(channels)) {}

void RotarySpeakerEffect::process(float* data, unsigned long long frames, int channels,
                                  unsigned long long block_size, unsigned int) {
    const auto stride = static_cast<unsigned long long>(channels);
    const float dry = 1.0f - mix;
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* frame = data + start * stride;
        for (unsigned long long i = 0; i < count; ++i, frame += stride) {
            // The treble's place between the sides, and the two rotors' swells.
            const PanGains pan = pan_gains(std::sin(horn_phase) * depth);
            const float horn_gain = 0.22f * std::sin(kHalfPi + horn_phase) + 0.78f;
            const float drum_gain = 0.9f + std::sin(drum_phase) * 0.1f;
            // A channel that is not panned hears the treble at the mean of the two pan gains.
            const float centre_gain = (pan.left + pan.right) * 0.5f * horn_gain;
            for (int k = 0; k < channels; ++k) {
                const float x = frame[k];
                const float low = run_biquad(crossover, crossover_state[static_cast<std::size_t>(k)], x);
                const float high = x - low;
                float wet;
                if (channels >= 2 && k == 0) {
                    wet = (pan.left * high) * horn_gain + drum_gain * low;
                } else if (channels >= 2 && k == 1) {
                    wet = low * drum_gain + (high * pan.right) * horn_gain;
                } else {
                    wet = high * centre_gain + drum_gain * low;
                }
                frame[k] = wet * mix + dry * x;
            }
            horn_phase = advance_rotor(horn_phase, horn_increment);
            drum_phase = advance_rotor(drum_phase, drum_increment);
        }
    });
}

PlannedEffect plan_rotary_speaker_effect(const ParamReader& params, float sample_rate, int channels) {
    const float crossover_hz = params.read_float("crossover_hz", 900.0f);
    const float mix = params.read_float("mix", 0.65f);
    const float depth = params.read_float("depth", 0.7f);
    const float rate_hz = params.read_float("rate_hz", 0.8f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(BiquadState));
    memory.state_name = "crossover state";
    return plan_effect<RotarySpeakerEffect>(memory, [=] {
        return std::make_unique<RotarySpeakerEffect>(sample_rate, crossover_hz, mix, depth, rate_hz,
                                                     channels);
    });
}

}  // namespace kavri
