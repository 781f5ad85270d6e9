#include "effects/dynamics/gate.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_expander_effect(const ParamReader&, float, int) { effect_not_built("expander"); }

EffectPtr make_noise_gate_effect(const ParamReader&, float, int) { effect_not_built("noise_gate"); }

}  // namespace kavri
