#include "effects/dynamics/compressor.hpp"

#include <cmath>
#include <cstddef>

#include "effects/clamp.hpp"
#include "effects/dynamics/envelope_walk.hpp"

namespace kavri {

CompressorEffect::CompressorEffect(float threshold_db, float ratio_value, float attack_ms,
                                   float release_ms, float makeup_db, float sample_rate,
                                   int channels)
    : threshold(db_to_gain(threshold_db)),
      ratio(at_least(ratio_value, 1.0f)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      makeup(db_to_gain(makeup_db)),
      envelope(static_cast<std::size_t>(channels), 0.0f) {}

CompressorEffect::~CompressorEffect() = default;

void CompressorEffect::process(float* data, unsigned long long frames, int channels,
                               unsigned long long block_size, unsigned int workers) {
    process_from(data, data, frames, channels, block_size, workers);
}

bool CompressorEffect::process_from(const float* source, float* data, unsigned long long frames,
                                    int channels, unsigned long long block_size,
                                    unsigned int workers) {
    const float thr = threshold;
    const float exponent = compression_exponent(ratio);
    const float gain = makeup;
    // Above the threshold: x (e / thr)^exponent, then the makeup gain.
    struct Law {
        float thr;
        float gain;
        bool raises(float e) const { return (e > thr) & (e > 0.0f); }
        float divisor() const { return thr; }
        float base(float e) const { return e / divisor(); }
        // Without a branch, so that whole pieces run in vector lanes.
        float apply(float x, float e, float p) const { return choose(raises(e), x * p, x) * gain; }
    };
    apply_envelope_powf_law_from(source, data, frames, channels, block_size, workers, envelope,
                                 attack_coeff, release_coeff, exponent, Law{thr, gain});
    return true;
}

bool CompressorEffect::lane_params(int channel, LaneParams& out) {
    out.kind = LaneKind::compressor;
    out.running = envelope[static_cast<std::size_t>(channel)];
    out.value[0] = threshold;
    out.value[1] = compression_exponent(ratio);
    out.value[2] = makeup;
    out.value[3] = attack_coeff;
    out.value[4] = release_coeff;
    return true;
}

UpwardCompressorEffect::UpwardCompressorEffect(float threshold_db, float ratio_value,
                                               float attack_ms, float release_ms, float max_gain_db,
                                               float sample_rate, int channels)
    : threshold(db_to_gain(threshold_db)),
      ratio(at_least(ratio_value, 1.0f)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      max_gain(db_to_gain(max_gain_db)),
      envelope(static_cast<std::size_t>(channels), 0.0f) {}

UpwardCompressorEffect::~UpwardCompressorEffect() = default;

void UpwardCompressorEffect::process(float* data, unsigned long long frames, int channels,
                                     unsigned long long block_size, unsigned int workers) {
    process_from(data, data, frames, channels, block_size, workers);
}

bool UpwardCompressorEffect::process_from(const float* source, float* data,
                                          unsigned long long frames, int channels,
                                          unsigned long long block_size, unsigned int workers) {
    const float thr = threshold;
    const float exponent = (ratio - 1.0f) / ratio;
    const float cap = max_gain;
    // Below the threshold: x (thr / e)^exponent, at most the cap.
    struct Law {
        float thr;
        float cap;
        bool raises(float e) const { return (e > 0.0f) & (e < thr); }
        // Below 1e-6 the envelope counts as 1e-6, so near-silence is not lifted without end.
        float base(float e) const { return thr / at_least(e, 0.000001f); }
        float apply(float x, float e, float g) const {
            return choose(raises(e), x * choose(cap < g, cap, g), x);
        }
    };
    apply_envelope_powf_law_from(source, data, frames, channels, block_size, workers, envelope,
                                 attack_coeff, release_coeff, exponent, Law{thr, cap});
    return true;
}

PlannedEffect plan_compressor_effect(const ParamReader& params, float sample_rate, int channels) {
    const float makeup_db = params.read_float("makeup_db", 0.0f);
    const float release_ms = params.read_float("release_ms", 80.0f);
    const float attack_ms = params.read_float("attack_ms", 10.0f);
    const float ratio = params.read_float("ratio", 4.0f);
    const float threshold_db = params.read_float("threshold_db", -18.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(float));
    memory.state_name = "envelope state";
    return plan_effect<CompressorEffect>(
        memory,
        [=] {
            return std::make_unique<CompressorEffect>(threshold_db, ratio, attack_ms, release_ms,
                                                      makeup_db, sample_rate, channels);
        },
        LaneKind::compressor);
}

PlannedEffect plan_upward_compressor_effect(const ParamReader& params, float sample_rate,
                                            int channels) {
    const float max_gain_db = params.read_float("max_gain_db", 18.0f);
    const float release_ms = params.read_float("release_ms", 120.0f);
    const float attack_ms = params.read_float("attack_ms", 12.0f);
    const float ratio = params.read_float("ratio", 2.0f);
    const float threshold_db = params.read_float("threshold_db", -42.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(float));
    memory.state_name = "envelope state";
    return plan_effect<UpwardCompressorEffect>(memory, [=] {
        return std::make_unique<UpwardCompressorEffect>(threshold_db, ratio, attack_ms, release_ms,
                                                        max_gain_db, sample_rate, channels);
    });
}

}  // namespace kavri
