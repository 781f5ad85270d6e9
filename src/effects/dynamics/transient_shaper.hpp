// Transient shaper.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_transient_shaper_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
