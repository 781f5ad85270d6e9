#include "effects/dynamics/limiter.hpp"

#include <cmath>
#include <cstddef>

#include "effects/dynamics/envelope.hpp"
#include "engine/channel_walk.hpp"

namespace kavri {

LimiterEffect::LimiterEffect(float ceiling_db, float attack_ms, float release_ms, float sample_rate,
                             int channels)
    : ceiling(db_to_gain(ceiling_db)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      gain(static_cast<std::size_t>(channels), 1.0f) {}

LimiterEffect::~LimiterEffect() = default;

void LimiterEffect::process(float* data, unsigned long long frames, int channels,
                            unsigned long long block_size, unsigned int workers) {
    struct Kernel {
        // State: the gain.
        float* gain;
        float top;
        float bottom;
        FollowerCoefficients follower;

        float load(int ch) const { return gain[ch]; }
        void store(int ch, float g) const { gain[ch] = g; }
        float step(float& g, float x) const {
            const float a = std::fabs(x);
            // The gain that would put this sample exactly on the ceiling; 1 at or below it and
            // for NaN.
            const float t = (a > top && a > 0.0f) ? top / a : 1.0f;
            // The gain follows t, falling with the attack and rising with the release.
            const bool falls = g > t;
            const float c = falls ? follower.attack : follower.release;
            g = t * (falls ? follower.keep_attack : follower.keep_release) + g * c;
            float y = x * g;
            // One-sided comparisons, lower side first: a NaN sample passes through both.
            if (y < bottom) {
                y = bottom;
            }
            if (top < y) {
                y = top;
            }
            return y;
        }
    };
    const Kernel kernel{gain.data(), ceiling, -ceiling,
                        FollowerCoefficients(attack_coeff, release_coeff)};
    for_each_channel_sample(data, frames, channels, block_size, workers, kernel);
}

bool LimiterEffect::lane_params(int channel, LaneParams& out) {
    out.kind = LaneKind::limiter;
    out.running = gain[static_cast<std::size_t>(channel)];
    out.value[0] = ceiling;
    out.value[1] = attack_coeff;
    out.value[2] = release_coeff;
    return true;
}

PlannedEffect plan_limiter_effect(const ParamReader& params, float sample_rate, int channels) {
    const float release_ms = params.read_float("release_ms", 60.0f);
    const float attack_ms = params.read_float("attack_ms", 1.0f);
    const float ceiling_db = params.read_float("ceiling_db", -1.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(float));
    memory.state_name = "gain state";
    return plan_effect<LimiterEffect>(
        memory,
        [=] {
            return std::make_unique<LimiterEffect>(ceiling_db, attack_ms, release_ms, sample_rate,
                                                   channels);
        },
        LaneKind::limiter);
}

}  // namespace kavri
