#include "effects/dynamics/band_dynamics.hpp"

#include <cmath>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/dynamics/envelope.hpp"
#include "engine/block_walk.hpp"
#include "engine/channel_walk.hpp"

namespace kavri {

DeEsserEffect::DeEsserEffect(float sample_rate, float amount_value, float release_ms,
                             float attack_ms, float ratio_value, float threshold_db,
                             float frequency_hz, int channels)
    : detector(
          design_biquad(FilterKind::highpass, frequency_hz, kInvSqrt2, 0.0f, 1.0f, sample_rate)),
      threshold(db_to_gain(threshold_db)),
      ratio(ratio_value < 1.0f ? 1.0f : ratio_value),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate)),
      release_coeff(ms_to_coeff(release_ms, sample_rate)),
      amount(clamp_to(amount_value, 0.0f, 1.0f)),
      detector_state(static_cast<std::size_t>(channels)),
      envelope(static_cast<std::size_t>(channels), 0.0f) {}

void DeEsserEffect::process(float* data, unsigned long long frames, int channels,
                            unsigned long long block_size, unsigned int workers) {
    struct SideChain {
        BiquadState detector;
        float envelope;
    };
    struct Kernel {
        BiquadState* detector_state;
        float* envelope_memory;
        BiquadCoefficients detector;
        float threshold;
        FollowerCoefficients follower;
        float amount;

        SideChain load(int ch) const { return {detector_state[ch], envelope_memory[ch]}; }
        void store(int ch, const SideChain& s) const {
            detector_state[ch] = s.detector;
            envelope_memory[ch] = s.envelope;
        }
        // The side chain only listens; the full-band sample is what gets turned down.
        float envelope(SideChain& s, float x) const {
            const float y = run_biquad(detector, s.detector, x);
            const float e = follower.step(s.envelope, y);
            s.envelope = e;
            return e;
        }
        bool raises(float e) const { return (e > threshold) & (e > 0.0f); }
        float base(float e) const { return e / threshold; }
        float apply(float x, float e, float p) const {
            const float reduction = choose(raises(e), 1.0f - p, 0.0f);
            return (1.0f - reduction * amount) * x;
        }
    };
    const Kernel kernel{detector_state.data(),
                        envelope.data(),
                        detector,
                        threshold,
                        FollowerCoefficients(attack_coeff, release_coeff),
                        amount};
    for_each_channel_sample_powf(data, frames, channels, block_size, workers, kernel,
                                 compression_exponent(ratio));
}

DynamicEQEffect::DynamicEQEffect(float sample_rate_value, float release_ms, float attack_ms,
                                 float q_value, float cut_db_value, float threshold_db,
                                 float frequency_hz_value, int channels)
    : sample_rate(sample_rate_value),
      frequency_hz(frequency_hz_value),
      threshold(db_to_gain(threshold_db)),
      cut_db(cut_db_value),
      q(at_least(q_value, 0.001f)),
      attack_coeff(ms_to_coeff(attack_ms, sample_rate_value)),
      release_coeff(ms_to_coeff(release_ms, sample_rate_value)),
      detector(design_biquad(FilterKind::bandpass, frequency_hz_value, q, 0.0f, 1.0f,
                             sample_rate_value)),
      detector_state(static_cast<std::size_t>(channels)),
      eq_state(static_cast<std::size_t>(channels)),
      envelope(static_cast<std::size_t>(channels), 0.0f) {}

void DynamicEQEffect::process(float* data, unsigned long long frames, int channels,
                              unsigned long long block_size, unsigned int workers) {
    const float threshold_floor = threshold < 0.000001f ? 0.000001f : threshold;
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        const auto stride = static_cast<unsigned long long>(channels);
        for (int ch = first_channel; ch < last_channel; ++ch) {
            BiquadState& detector_memory = detector_state[static_cast<std::size_t>(ch)];
            BiquadState& eq_memory = eq_state[static_cast<std::size_t>(ch)];
            float e = envelope[static_cast<std::size_t>(ch)];
            for_each_block(
                frames, block_size, [&](unsigned long long start, unsigned long long count) {
                    float* const first =
                        data + start * stride + static_cast<unsigned long long>(ch);
                    float* sample = first;
                    for (unsigned long long i = 0; i < count; ++i, sample += stride) {
                        e = envelope_step(e, run_biquad(detector, detector_memory, *sample),
                                          attack_coeff, release_coeff);
                    }
                    // The whole block takes the gain that its last sample's envelope calls for: the
                    // cut grows with the envelope's excess over the threshold, full at twice it.
                    float gain_db = 0.0f;
                    if (e > threshold) {
                        float excess = (e - threshold) / threshold_floor;
                        if (1.0f < excess) {
                            excess = 1.0f;
                        }
                        gain_db = cut_db * excess;
                    }
                    const BiquadCoefficients band = design_biquad(FilterKind::peak_eq, frequency_hz,
                                                                  q, gain_db, 1.0f, sample_rate);
                    sample = first;
                    for (unsigned long long i = 0; i < count; ++i, sample += stride) {
                        *sample = run_biquad(band, eq_memory, *sample);
                    }
                });
            envelope[static_cast<std::size_t>(ch)] = e;
        }
    });
}

PlannedEffect plan_deesser_effect(const ParamReader& params, float sample_rate, int channels) {
    const float amount = params.read_float("amount", 1.0f);
    const float release_ms = params.read_float("release_ms", 60.0f);
    const float attack_ms = params.read_float("attack_ms", 2.0f);
    const float ratio = params.read_float("ratio", 4.0f);
    const float threshold_db = params.read_float("threshold_db", -28.0f);
    const float frequency_hz = params.read_float("frequency_hz", 6500.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(BiquadState)) +
                   per_channel_bytes(channels, sizeof(float));
    memory.state_name = "detector state";
    return plan_effect<DeEsserEffect>(memory, [=] {
        return std::make_unique<DeEsserEffect>(sample_rate, amount, release_ms, attack_ms, ratio,
                                               threshold_db, frequency_hz, channels);
    });
}

PlannedEffect plan_dynamic_eq_effect(const ParamReader& params, float sample_rate, int channels) {
    const float release_ms = params.read_float("release_ms", 120.0f);
    const float attack_ms = params.read_float("attack_ms", 10.0f);
    const float q = params.read_float("q", 1.2f);
    const float cut_db = params.read_float("cut_db", -6.0f);
    const float threshold_db = params.read_float("threshold_db", -24.0f);
    const float frequency_hz = params.read_float("frequency_hz", 2800.0f);
    EffectMemory memory;
    memory.state = per_channel_bytes(channels, sizeof(BiquadState)) +
                   per_channel_bytes(channels, sizeof(BiquadState)) +
                   per_channel_bytes(channels, sizeof(float));
    memory.state_name = "filter state";
    PlannedEffect planned = plan_effect<DynamicEQEffect>(memory, [=] {
        return std::make_unique<DynamicEQEffect>(sample_rate, release_ms, attack_ms, q, cut_db,
                                                 threshold_db, frequency_hz, channels);
    });
    planned.holds_frames = true;
    return planned;
}

}  // namespace kavri
