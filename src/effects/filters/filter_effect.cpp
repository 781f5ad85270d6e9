#include "effects/filters/filter_effect.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_filter_effect(FilterKind, const ParamReader&, float, int, float, float) {
    effect_not_built("filter");
}

}  // namespace kavri
