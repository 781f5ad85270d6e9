#include "effects/level/modulation.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_tremolo_effect(const ParamReader&, float, int) { effect_not_built("tremolo"); }

EffectPtr make_auto_pan_effect(const ParamReader&, float, int) { effect_not_built("auto_pan"); }

}  // namespace kavri
