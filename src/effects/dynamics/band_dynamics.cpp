#include "effects/dynamics/band_dynamics.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_deesser_effect(const ParamReader&, float, int) { effect_not_built("deesser"); }

EffectPtr make_dynamic_eq_effect(const ParamReader&, float, int) { effect_not_built("dynamic_eq"); }

}  // namespace kavri
