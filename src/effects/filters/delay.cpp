#include "effects/filters/delay.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_delay_effect(const ParamReader&, float, int) { effect_not_built("delay"); }

EffectPtr make_ping_pong_delay_effect(const ParamReader&, float, int) { effect_not_built("ping_pong_delay"); }

}  // namespace kavri
