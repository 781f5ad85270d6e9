// Feedback echoes: delay and ping-pong delay.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_delay_effect(const ParamReader& params, float sample_rate, int channels);
EffectPtr make_ping_pong_delay_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
