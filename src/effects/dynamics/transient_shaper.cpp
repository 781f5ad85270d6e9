#include "effects/dynamics/transient_shaper.hpp"

#include <cmath>

#include "effects/clamp.hpp"
#include "effects/dynamics/envelope.hpp"
#include "engine/channel_walk.hpp"

namespace kavri {

TransientShaperEffect::TransientShaperEffect(float sample_rate, float release_ms, float attack_ms,
                                             float sustain_value, float attack_value, int channels)
    : attack(clamp_to(attack_value, -1.0f, 2.0f)),
      sustain(clamp_to(sustain_value, -1.0f, 2.0f)),
      // The fixed fast times are written out rather than passed through ms_to_coeff:
      // 0.012 * rate and (12 * 0.001) * rate need not round alike.
      fast_attack_coeff(std::exp(-1.0f / (sample_rate * 0.001f))),
      fast_release_coeff(std::exp(-1.0f / (0.012f * sample_rate))),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      fast_envelope(static_cast<std::size_t>(channels), 0.0f),
      slow_envelope(static_cast<std::size_t>(channels), 0.0f) {}

void TransientShaperEffect::process(float* data, unsigned long long frames, int channels,
                                    unsigned long long block_size, unsigned int workers) {
    struct Followers {
        float fast;
        float slow;
    };
    struct Kernel {
        float* fast_envelope;
        float* slow_envelope;
        float attack;
        float sustain;
        FollowerCoefficients fast_follower;
        FollowerCoefficients slow_follower;

        Followers load(int ch) const { return {fast_envelope[ch], slow_envelope[ch]}; }
        void store(int ch, const Followers& s) const {
            fast_envelope[ch] = s.fast;
            slow_envelope[ch] = s.slow;
        }
        float step(Followers& s, float x) const {
            const float fast = fast_follower.step(s.fast, x);
            const float slow = slow_follower.step(s.slow, x);
            s.fast = fast;
            s.slow = slow;
            // How far the fast follower leads (onset, up to 1) or trails (decay, unbounded
            // below) the slow one, relative to the fast level.
            const float fast_floor = fast < 0.000001f ? 0.000001f : fast;
            const float d = (fast - slow) / fast_floor;
            const float onset = d < 0.0f ? 0.0f : d;
            const float decay = 0.0f < d ? 0.0f : d;
            float g = (attack * onset + 1.0f) - sustain * decay;
            if (g < 0.15f) {
                g = 0.15f;
            }
            if (4.0f < g) {
                g = 4.0f;
            }
            return g * x;
        }
    };
    const Kernel kernel{fast_envelope.data(),
                        slow_envelope.data(),
                        attack,
                        sustain,
                        FollowerCoefficients(fast_attack_coeff, fast_release_coeff),
                        FollowerCoefficients(attack_coeff, release_coeff)};
    for_each_channel_sample(data, frames, channels, block_size, workers, kernel);
}

PlannedEffect plan_transient_shaper_effect(const ParamReader& params, float sample_rate,
                                           int channels) {
    const float release_ms = params.read_float("release_ms", 120.0f);
    const float attack_ms = params.read_float("attack_ms", 18.0f);
    const float sustain = params.read_float("sustain", 0.2f);
    const float attack = params.read_float("attack", 0.7f);
    EffectMemory memory;
    memory.state =
        per_channel_bytes(channels, sizeof(float)) + per_channel_bytes(channels, sizeof(float));
    memory.state_name = "envelope state";
    return plan_effect<TransientShaperEffect>(memory, [=] {
        return std::make_unique<TransientShaperEffect>(sample_rate, release_ms, attack_ms, sustain,
                                                       attack, channels);
    });
}

}  // namespace kavri
