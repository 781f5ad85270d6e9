// The biquad filter effect behind the seven filter types.
#pragma once

#include "effects/filters/biquad.hpp"
#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

// Builds a filter of the given kind; each type has its own default frequency and q.
EffectPtr make_filter_effect(FilterKind kind, const ParamReader& params, float sample_rate,
                             int channels, float default_frequency_hz, float default_q);

}  // namespace kavri
