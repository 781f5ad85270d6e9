// Swept fractional delay behind chorus, flanger and vibrato.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

// The defaults that tell chorus, flanger and vibrato apart.
struct ModulatedDelayDefaults {
    float feedback;
    float mix;
    float rate_hz;
    float depth_ms;
    float delay_ms;
};

// wet_only: output the delayed signal alone (vibrato). phase_step: how far each channel's
// oscillator runs ahead of the previous channel's, in radians.
EffectPtr make_modulated_delay_effect(const ParamReader& params, float sample_rate, int channels,
                                      const ModulatedDelayDefaults& defaults, bool wet_only,
                                      float phase_step);

}  // namespace kavri
