#include "engine/effect_plan.hpp"

namespace kavri {

void EffectPlan::build(EffectList& effects) const {
    effects.reserve(planned_.size());
    for (const PlannedEffect& planned : planned_) {
        effects.push_back(planned.build());
    }
}

}  // namespace kavri
