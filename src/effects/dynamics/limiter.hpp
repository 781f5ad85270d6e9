// Peak limiter.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_limiter_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
