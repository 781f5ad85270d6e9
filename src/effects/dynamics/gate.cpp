#include "effects/dynamics/gate.hpp"

#include <cmath>
#include <cstddef>

#include "effects/clamp.hpp"
#include "effects/dynamics/envelope_walk.hpp"

namespace kavri {

ExpanderEffect::ExpanderEffect(float threshold_db, float ratio_value, float attack_ms,
                               float release_ms, float makeup_db, float sample_rate, int channels)
    : threshold(db_to_gain(threshold_db)),
      ratio(at_least(ratio_value, 1.0f)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      makeup(db_to_gain(makeup_db)),
      envelope(static_cast<std::size_t>(channels), 0.0f) {}

ExpanderEffect::~ExpanderEffect() = default;

void ExpanderEffect::process(float* data, unsigned long long frames, int channels,
                             unsigned long long block_size, unsigned int workers) {
    process_from(data, data, frames, channels, block_size, workers);
}

bool ExpanderEffect::process_from(const float* source, float* data, unsigned long long frames,
                                  int channels, unsigned long long block_size,
                                  unsigned int workers) {
    const float thr = threshold;
    const float exponent = ratio - 1.0f;
    const float gain = makeup;
    // Below the threshold: x (e / thr)^exponent, then the makeup gain.
    struct Law {
        float thr;
        float gain;
        // An envelope of exactly 0 (silence so far) is left alone.
        bool raises(float e) const { return (e < thr) & (e > 0.0f); }
        float divisor() const { return thr; }
        float base(float e) const { return e / divisor(); }
        float apply(float x, float e, float p) const { return choose(raises(e), x * p, x) * gain; }
    };
    apply_envelope_powf_law_from(source, data, frames, channels, block_size, workers, envelope,
                                 attack_coeff, release_coeff, exponent, Law{thr, gain});
    return true;
}

NoiseGateEffect::NoiseGateEffect(float threshold_db, float floor_db, float attack_ms,
                                 float release_ms, float sample_rate, int channels)
    : threshold(db_to_gain(threshold_db)),
      floor_gain(db_to_gain(floor_db)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      envelope(static_cast<std::size_t>(channels), 0.0f),
      gain(static_cast<std::size_t>(channels), floor_gain) {}

NoiseGateEffect::~NoiseGateEffect() = default;

void NoiseGateEffect::process(float* data, unsigned long long frames, int channels,
                              unsigned long long block_size, unsigned int workers) {
    struct GateState {
        float envelope;
        float gain;
    };
    struct Kernel {
        float* envelope;
        float* gain;
        float thr;
        float closed;
        float attack;
        float release;

        GateState load(int ch) const { return {envelope[ch], gain[ch]}; }
        void store(int ch, const GateState& s) const {
            envelope[ch] = s.envelope;
            gain[ch] = s.gain;
        }
        float step(GateState& s, float sample) const {
            const float e = envelope_step(s.envelope, sample, attack, release);
            s.envelope = e;
            // An envelope on the threshold opens the gate; a NaN envelope keeps it closed.
            const float t = e >= thr ? 1.0f : closed;
            float g = s.gain;
            const float c = t > g ? attack : release;
            g = (1.0f - c) * t + c * g;
            s.gain = g;
            return g * sample;
        }
    };
    const Kernel kernel{envelope.data(), gain.data(),  threshold,
                        floor_gain,      attack_coeff, release_coeff};
    for_each_channel_sample(data, frames, channels, block_size, workers, kernel);
}

PlannedEffect plan_expander_effect(const ParamReader& params, float sample_rate, int channels) {
    const float makeup_db = params.read_float("makeup_db", 0.0f);
    const float release_ms = params.read_float("release_ms", 80.0f);
    const float attack_ms = params.read_float("attack_ms", 8.0f);
    const float ratio = params.read_float("ratio", 2.0f);
    const float threshold_db = params.read_float("threshold_db", -35.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(float));
    memory.state_name = "envelope state";
    return plan_effect<ExpanderEffect>(memory, [=] {
        return std::make_unique<ExpanderEffect>(threshold_db, ratio, attack_ms, release_ms,
                                                makeup_db, sample_rate, channels);
    });
}

PlannedEffect plan_noise_gate_effect(const ParamReader& params, float sample_rate, int channels) {
    const float floor_db = params.read_float("floor_db", -80.0f);
    const float release_ms = params.read_float("release_ms", 60.0f);
    const float attack_ms = params.read_float("attack_ms", 3.0f);
    const float threshold_db = params.read_float("threshold_db", -45.0f);
    EffectMemory memory;
    memory.state =
        per_channel_bytes(channels, sizeof(float)) + per_channel_bytes(channels, sizeof(float));
    memory.state_name = "envelope state";
    return plan_effect<NoiseGateEffect>(memory, [=] {
        return std::make_unique<NoiseGateEffect>(threshold_db, floor_db, attack_ms, release_ms,
                                                 sample_rate, channels);
    });
}

}  // namespace kavri
