// The effects of one call, planned while their specs can be read and built afterwards.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class EffectPlan {
public:
    void reserve(std::size_t count) { planned_.reserve(count); }
    void push_back(PlannedEffect effect) { planned_.push_back(std::move(effect)); }
    std::size_t size() const { return planned_.size(); }
    const PlannedEffect& operator[](std::size_t k) const { return planned_[k]; }

    // The largest scratch any one effect takes while it runs (each call of its process).
    ByteCount largest_scratch() const;
    // How many of the effects hold frames back in a stream (PlannedEffect::holds_frames).
    std::size_t holding_count() const;
    // What every effect's state takes together, while the chain lives.
    ByteCount state_bytes() const;

    // Allocates and constructs every planned effect into `effects`, in plan order. Touches
    // nothing but the heap, so it may run with the interpreter lock released. A failure
    // (std::bad_alloc) propagates; what was built stays in `effects` for its owner.
    void build(EffectList& effects) const;

private:
    std::vector<PlannedEffect> planned_;
};

}  // namespace kavri
