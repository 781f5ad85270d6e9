// Frequency-selective dynamics: each channel listens to part of its spectrum through a
// side-chain filter and is turned down when that part gets loud.
//
// deesser     tames sibilance: a high-pass side chain keys a compressor-style reduction of the
//             whole signal.
//             "frequency_hz": side-chain corner, default 6500. "threshold_db": default -28.
//             "ratio": at least 1, default 4. "attack_ms" / "release_ms": defaults 2 / 60.
//             "amount": how much of the reduction is applied, in [0, 1], default 1.
// dynamic_eq  a peaking band that cuts (or, with a positive "cut_db", boosts) only while the
//             band is loud. The gain is set once per processing block from the envelope at
//             the block's end, so the block size shapes the result.
//             "frequency_hz": band centre, default 2800. "q": at least 0.001, default 1.2.
//             "threshold_db": default -24. "cut_db": the full cut, reached when the band's
//             envelope is twice the threshold, default -6. "attack_ms" / "release_ms":
//             defaults 10 / 120.
#pragma once

#include <vector>

#include "effects/filters/biquad.hpp"
#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class DeEsserEffect final : public Effect {
public:
    DeEsserEffect(float sample_rate, float amount, float release_ms, float attack_ms, float ratio,
                  float threshold_db, float frequency_hz, int channels);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    BiquadCoefficients detector;
    float threshold;
    float ratio;
    float attack_coeff;
    float release_coeff;
    float amount;
    std::vector<BiquadState> detector_state;
    std::vector<float> envelope;
};

class DynamicEQEffect final : public Effect {
public:
    DynamicEQEffect(float sample_rate, float release_ms, float attack_ms, float q, float cut_db,
                    float threshold_db, float frequency_hz, int channels);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    // Each block's gain comes from the envelope at the block's end.
    bool needs_whole_blocks() const override { return true; }

    float sample_rate;
    float frequency_hz;
    float threshold;
    float cut_db;
    float q;
    float attack_coeff;
    float release_coeff;
    BiquadCoefficients detector;
    std::vector<BiquadState> detector_state;
    std::vector<BiquadState> eq_state;
    std::vector<float> envelope;
};

PlannedEffect plan_deesser_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_dynamic_eq_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
