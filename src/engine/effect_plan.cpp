#include "engine/effect_plan.hpp"

#include <algorithm>
#include <cstdint>

namespace kavri {

void EffectPlan::build(EffectList& effects) const {
    effects.reserve(planned_.size());
    for (const PlannedEffect& planned : planned_) {
        effects.push_back(planned.build());
    }
}

ByteCount EffectPlan::largest_scratch() const {
    std::uint64_t largest = 0;
    for (const PlannedEffect& planned : planned_) {
        largest = std::max(largest, planned.memory.scratch.bytes());
    }
    return ByteCount(largest);
}

ByteCount EffectPlan::state_bytes() const {
    ByteCount total;
    for (const PlannedEffect& planned : planned_) {
        total += planned.memory.state;
    }
    return total;
}

std::size_t EffectPlan::holding_count() const {
    std::size_t count = 0;
    for (const PlannedEffect& planned : planned_) {
        count += planned.holds_frames ? 1 : 0;
    }
    return count;
}

}  // namespace kavri
