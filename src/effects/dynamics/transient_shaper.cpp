#include "effects/dynamics/transient_shaper.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_transient_shaper_effect(const ParamReader&, float, int) { effect_not_built("transient_shaper"); }

}  // namespace kavri
