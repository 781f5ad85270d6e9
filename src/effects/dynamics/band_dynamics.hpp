// Frequency-selective dynamics: de-esser and dynamic EQ.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_deesser_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_dynamic_eq_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
