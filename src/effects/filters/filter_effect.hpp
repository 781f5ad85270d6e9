// The biquad filter effect behind the seven filter types.
//
// lowpass, highpass   pass what lies below / above the corner "frequency_hz"; "q" sets the
//                     resonance at the corner (0.7071 is the flattest, no bump).
// bandpass, notch     keep / remove a band around "frequency_hz"; a larger "q" makes the
//                     band narrower.
// peak_eq             boosts or cuts "gain_db" around "frequency_hz", "q" wide.
// low_shelf,          boost or cut "gain_db" below / above "frequency_hz"; "slope" sets how
// high_shelf          steep the step is (1 is the steepest without a bump; above 1 the
//                     shelf overshoots, and a slope too steep for its gain is taken as 1).
//
// "stages" runs that many identical sections one after another, multiplying the slope of
// the skirt (three stages of a 12 dB/octave lowpass give 36 dB/octave). Frequencies are kept
// within [5 Hz, 0.499 of the sample rate], q and slope at 0.001 or more, stages at 1 or more.
#pragma once

#include <vector>

#include "effects/filters/biquad.hpp"
#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class FilterEffect final : public Effect {
public:
    // Refuses with std::bad_alloc, before allocating anything, a cascade whose memory for
    // every channel would not fit in the machine.
    FilterEffect(const BiquadCoefficients& coefficients, int stage_count, int channels);
    ~FilterEffect() override;
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float b0;
    float b1;
    float b2;
    float a1;
    float a2;
    // Per channel, one (z1, z2) pair for each section of the cascade.
    std::vector<std::vector<BiquadState>> stage_state;
    int stages;
};

// Builds a filter of the given kind; each type has its own default frequency and q.
PlannedEffect plan_filter_effect(FilterKind kind, const ParamReader& params, float sample_rate,
                                 int channels, float default_frequency_hz, float default_q);

}  // namespace kavri
