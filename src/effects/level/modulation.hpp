// Sine-LFO level effects: tremolo and auto-pan.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_tremolo_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_auto_pan_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
