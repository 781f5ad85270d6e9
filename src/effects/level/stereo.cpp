#include "effects/level/stereo.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_pan_effect(const ParamReader&, float, int) { effect_not_built("pan"); }

EffectPtr make_stereo_width_effect(const ParamReader&, float, int) { effect_not_built("stereo_width"); }

}  // namespace kavri
