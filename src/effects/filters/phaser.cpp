#include "effects/filters/phaser.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_phaser_effect(const ParamReader&, float, int) { effect_not_built("phaser"); }

}  // namespace kavri
