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

namespace {

// The gate's two followers, per channel: the envelope (as envelope_step) and the gain, which
// follows 1 where the envelope is on or above the threshold and the closed gain elsewhere
// (NaN: closed), with the attack coefficient when it rises and the release when it falls.
struct GateLaw {
    FollowerCoefficients follower;
    float thr;
    float closed;

    float step(float& envelope, float& gain, float sample) const {
        const float e = follower.step(envelope, sample);
        envelope = e;
        // An envelope on the threshold opens the gate; a NaN envelope keeps it closed.
        const float t = e >= thr ? 1.0f : closed;
        const bool opens = t > gain;
        const float c = opens ? follower.attack : follower.release;
        const float keep = opens ? follower.keep_attack : follower.keep_release;
        gain = keep * t + c * gain;
        return gain * sample;
    }

#if defined(__SSE2__)
    // Width neighbouring channels side by side in one register, frame by frame: step()'s
    // operations in each lane, both outcomes of each choice worked out and one kept by a
    // mask (the choices follow the signal, so as branches they are mispredicted often).
    template <int Width>
    void walk(float* envelope, float* gain, float* rows, std::size_t stride,
              unsigned long long frames) const {
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
        const __m128 a = _mm_set1_ps(follower.attack);
        const __m128 r = _mm_set1_ps(follower.release);
        const __m128 ka = _mm_set1_ps(follower.keep_attack);
        const __m128 kr = _mm_set1_ps(follower.keep_release);
        const __m128 threshold = _mm_set1_ps(thr);
        const __m128 open = _mm_set1_ps(1.0f);
        const __m128 shut = _mm_set1_ps(closed);
        __m128 e = lanes_load<Width>(envelope);
        __m128 g = lanes_load<Width>(gain);
        for (unsigned long long i = 0; i < frames; ++i, rows += stride) {
            const __m128 x = lanes_load<Width>(rows);
            const __m128 level = _mm_and_ps(x, magnitude);
            const __m128 rises = _mm_cmplt_ps(e, level);
            e = lanes_select(rises, _mm_add_ps(_mm_mul_ps(ka, level), _mm_mul_ps(a, e)),
                             _mm_add_ps(_mm_mul_ps(kr, level), _mm_mul_ps(r, e)));
            const __m128 t = lanes_select(_mm_cmpge_ps(e, threshold), open, shut);
            const __m128 opens = _mm_cmplt_ps(g, t);
            g = lanes_select(opens, _mm_add_ps(_mm_mul_ps(ka, t), _mm_mul_ps(a, g)),
                             _mm_add_ps(_mm_mul_ps(kr, t), _mm_mul_ps(r, g)));
            lanes_store<Width>(rows, _mm_mul_ps(g, x));
        }
        lanes_store<Width>(envelope, e);
        lanes_store<Width>(gain, g);
    }
#endif
};

}  // namespace

// Blocks only bound the walk: every sample's step depends on the state alone, so the whole
// call runs as one walk per group of channels.
void NoiseGateEffect::process(float* data, unsigned long long frames, int channels,
                              unsigned long long, unsigned int workers) {
    const GateLaw law{FollowerCoefficients(attack_coeff, release_coeff), threshold, floor_gain};
    const auto stride = static_cast<std::size_t>(channels);
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        detail::for_channel_groups(first_channel, last_channel, [&](auto width, int ch) {
            constexpr int kWidth = decltype(width)::value;
            const auto at = static_cast<std::size_t>(ch);
            float* const env = envelope.data() + at;
            float* const g = gain.data() + at;
#if defined(__SSE2__)
            law.walk<kWidth>(env, g, data + at, stride, frames);
#else
            float* row = data + at;
            for (unsigned long long i = 0; i < frames; ++i, row += stride) {
                for (int k = 0; k < kWidth; ++k) {
                    row[k] = law.step(env[k], g[k], row[k]);
                }
            }
#endif
        });
    });
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
