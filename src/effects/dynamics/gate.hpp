// Downward expander and noise gate.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_expander_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_noise_gate_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
