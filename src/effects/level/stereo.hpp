// Static stereo placement: pan and stereo width.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_pan_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_stereo_width_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
