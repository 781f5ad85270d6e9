// Compressor and upward compressor.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_compressor_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_upward_compressor_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
