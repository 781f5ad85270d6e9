#include "effects/filters/rotary_speaker.hpp"

#include <cmath>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/level/pan_law.hpp"
#include "engine/block_walk.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

namespace {

float rotor_increment(float rate_hz, float sample_rate) {
    return (at_least(rate_hz, kSlowestLfoHz) * kTwoPi) / sample_rate;
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
      crossover(
          design_biquad(FilterKind::lowpass, crossover_hz, kInvSqrt2, 0.0f, 1.0f, sample_rate)),
      crossover_state(static_cast<std::size_t>(channels)) {}

void RotarySpeakerEffect::process(float* data, unsigned long long frames, int channels,
                                  unsigned long long block_size, unsigned int) {
    const auto stride = static_cast<unsigned long long>(channels);
    const float dry = 1.0f - mix;
    // The rotors run on their own: a chunk of frames at a time, their phases first, then all
    // the chunk's sines by the vector math that gives the library's bits, then the audio.
    constexpr unsigned long long chunk = 128;
    float horn[chunk];
    float horn_swell[chunk];
    float drum[chunk];
    float pan[chunk];
    float left[chunk];
    float right[chunk];
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* frame = data + start * stride;
        for (unsigned long long done = 0; done < count; done += chunk) {
            const unsigned long long m = count - done < chunk ? count - done : chunk;
            const auto n = static_cast<std::size_t>(m);
            for (unsigned long long i = 0; i < m; ++i) {
                horn[i] = horn_phase;
                horn_swell[i] = kHalfPi + horn_phase;
                drum[i] = drum_phase;
                horn_phase = advance_rotor(horn_phase, horn_increment);
                drum_phase = advance_rotor(drum_phase, drum_increment);
            }
            vecmath::sinf_array(horn, pan, n);
            vecmath::sinf_array(horn_swell, horn_swell, n);
            vecmath::sinf_array(drum, drum, n);
            for (unsigned long long i = 0; i < m; ++i) {
                pan[i] = pan[i] * depth;
            }
            pan_gains_run(pan, horn, left, right, n);
            for (unsigned long long i = 0; i < m; ++i, frame += stride) {
                // The treble's place between the sides, and the two rotors' swells.
                const PanGains pan_at{left[i], right[i]};
                const float horn_gain = 0.22f * horn_swell[i] + 0.78f;
                const float drum_gain = 0.9f + drum[i] * 0.1f;
                // A channel that is not panned hears the treble at the mean of the two pan gains.
                const float centre_gain = (pan_at.left + pan_at.right) * 0.5f * horn_gain;
                for (int k = 0; k < channels; ++k) {
                    const float x = frame[k];
                    const float low =
                        run_biquad(crossover, crossover_state[static_cast<std::size_t>(k)], x);
                    const float high = x - low;
                    float wet;
                    if (channels >= 2 && k == 0) {
                        wet = (pan_at.left * high) * horn_gain + drum_gain * low;
                    } else if (channels >= 2 && k == 1) {
                        wet = low * drum_gain + (high * pan_at.right) * horn_gain;
                    } else {
                        wet = high * centre_gain + drum_gain * low;
                    }
                    frame[k] = wet * mix + dry * x;
                }
            }
        }
    });
}

PlannedEffect plan_rotary_speaker_effect(const ParamReader& params, float sample_rate,
                                         int channels) {
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
