// Second-order filter designs (the Audio EQ Cookbook's, normalised by a0) and the
// transposed-direct-form-II section that runs them. Every effect with a biquad uses these.
#pragma once

#include <cmath>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "engine/batch/lane_params.hpp"

namespace kavri {

enum class FilterKind : int {
    lowpass = 0,
    highpass = 1,
    bandpass = 2,
    notch = 3,
    peak_eq = 4,
    low_shelf = 5,
    high_shelf = 6,
};

struct BiquadCoefficients {
    float b0;
    float b1;
    float b2;
    float a1;
    float a2;
};

// One section's memory.
using BiquadState = SectionState;

// Keeps a design frequency within [5, max(0.499 * sample_rate, 5)] Hz. A NaN passes.
inline float clamp_design_frequency(float frequency_hz, float sample_rate) {
    if (frequency_hz < 5.0f) {
        return 5.0f;
    }
    float upper = 0.499f * sample_rate;
    if (upper < 5.0f) {
        upper = 5.0f;
    }
    return upper < frequency_hz ? upper : frequency_hz;
}

// Designs one section. The frequency is clamped as above, q and slope are raised to 0.001;
// gain_db only matters to peak_eq and the shelves, slope only to the shelves.
inline BiquadCoefficients design_biquad(FilterKind kind, float frequency_hz, float q, float gain_db,
                                        float slope, float sample_rate) {
    const float f = clamp_design_frequency(frequency_hz, sample_rate);
    const float w0 = (f * kTwoPi) / sample_rate;
    const float s = std::sin(w0);
    const float c = std::cos(w0);
    const float q_used = at_least(q, 0.001f);
    const float alpha = s / (2.0f * q_used);

    float b0 = 1.0f, b1 = 0.0f, b2 = 0.0f, a0 = 1.0f, a1 = 0.0f, a2 = 0.0f;
    switch (kind) {
        case FilterKind::lowpass:
            b0 = (1.0f - c) * 0.5f;
            b1 = 1.0f - c;
            b2 = (1.0f - c) * 0.5f;
            a0 = 1.0f + alpha;
            a1 = -2.0f * c;
            a2 = 1.0f - alpha;
            break;
        case FilterKind::highpass:
            b0 = (1.0f + c) * 0.5f;
            b1 = -(1.0f + c);
            b2 = (1.0f + c) * 0.5f;
            a0 = 1.0f + alpha;
            a1 = -2.0f * c;
            a2 = 1.0f - alpha;
            break;
        case FilterKind::bandpass:
            b0 = alpha;
            b1 = 0.0f;
            b2 = -alpha;
            a0 = 1.0f + alpha;
            a1 = -2.0f * c;
            a2 = 1.0f - alpha;
            break;
        case FilterKind::notch:
            b0 = 1.0f;
            b1 = -2.0f * c;
            b2 = 1.0f;
            a0 = 1.0f + alpha;
            a1 = -2.0f * c;
            a2 = 1.0f - alpha;
            break;
        case FilterKind::peak_eq: {
            const float A = std::pow(10.0f, gain_db / 40.0f);
            b0 = 1.0f + alpha * A;
            b1 = -2.0f * c;
            b2 = 1.0f - alpha * A;
            a0 = 1.0f + alpha / A;
            a1 = -2.0f * c;
            a2 = 1.0f - alpha / A;
            break;
        }
        case FilterKind::low_shelf:
        case FilterKind::high_shelf: {
            const float A = std::pow(10.0f, gain_db / 40.0f);
            const float slope_used = at_least(slope, 0.001f);
            float radicand = (1.0f / slope_used - 1.0f) * (1.0f / A + A) + 2.0f;
            // A slope above 1 with a large gain drives the radicand below zero (slope 2 past
            // about 22.9 dB), where the square root would make every coefficient NaN. Nor
            // can the radicand be held at 0: that puts the poles on the unit circle, an
            // undamped ring at the shelf's edge that a steady tone there drives without
            // bound. A slope the gain cannot carry is therefore taken as 1, the steepest
            // shelf without a bump, whose radicand is exactly 2.
            if (radicand < 0.0f) {
                radicand = 2.0f;
            }
            const float alpha_s = std::sqrt(radicand) * (0.5f * s);
            const float P = (2.0f * std::sqrt(A)) * alpha_s;
            const float ap1 = A + 1.0f;
            const float am1 = A - 1.0f;
            if (kind == FilterKind::low_shelf) {
                b0 = A * ((ap1 - am1 * c) + P);
                b1 = (2.0f * A) * (am1 - ap1 * c);
                b2 = A * ((ap1 - am1 * c) - P);
                a0 = (ap1 + am1 * c) + P;
                a1 = -2.0f * (am1 + ap1 * c);
                a2 = (ap1 + am1 * c) - P;
            } else {
                b0 = A * ((ap1 + am1 * c) + P);
                b1 = (-2.0f * A) * (am1 + ap1 * c);
                b2 = A * ((ap1 + am1 * c) - P);
                a0 = (ap1 - am1 * c) + P;
                a1 = 2.0f * (am1 - ap1 * c);
                a2 = (ap1 - am1 * c) - P;
            }
            break;
        }
    }
    // Kept as divisions: multiplying by 1 / a0 rounds differently.
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

// Runs one sample through a section in transposed direct form II and returns its output.
inline float run_biquad(const BiquadCoefficients& k, BiquadState& state, float x) {
    const float y = k.b0 * x + state.z1;
    state.z1 = (k.b1 * x - k.a1 * y) + state.z2;
    state.z2 = k.b2 * x - k.a2 * y;
    return y;
}

}  // namespace kavri
