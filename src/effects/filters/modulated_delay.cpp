#include "effects/filters/modulated_delay.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_modulated_delay_effect(const ParamReader&, float, int, const ModulatedDelayDefaults&,
                                      bool, float) {
    effect_not_built("modulated delay");
}

}  // namespace kavri
