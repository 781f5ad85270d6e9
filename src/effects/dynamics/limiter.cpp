#include "effects/dynamics/limiter.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_limiter_effect(const ParamReader&, float, int) { effect_not_built("limiter"); }

}  // namespace kavri
