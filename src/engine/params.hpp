// How an effect is planned from its parameters, without knowing where they come from.
#pragma once

#include <functional>
#include <utility>

#include "engine/effect.hpp"
#include "engine/memory_budget.hpp"

namespace kavri {

// Reads one named parameter, or gives the default when the key is absent. A present value
// that does not convert throws. Readers never clamp: each effect clamps what it reads.
class ParamReader {
public:
    virtual ~ParamReader() = default;
    virtual float read_float(const char* key, float default_value) const = 0;
    virtual int read_int(const char* key, int default_value) const = 0;
};

// One effect with its parameters read and its sizes worked out, not yet built: `memory` is
// everything building and running it will allocate, and `build` allocates and constructs it.
// `build` reads nothing from the spec, so it may run where the spec's source cannot be
// reached (without the interpreter lock). `holds_frames` is what the built effect's
// needs_whole_blocks() will say: a stream holds frames back in front of such an effect, which
// its plan counts before anything is built. `lanes` is the kind the built effect's
// lane_params() will give (LaneKind::none for an effect that runs item by item), and
// `lane_sections` the sections a biquad's lanes will run, so that a batch can group its items
// before anything is built.
struct PlannedEffect {
    EffectMemory memory;
    std::function<EffectPtr()> build;
    bool holds_frames = false;
    LaneKind lanes = LaneKind::none;
    int lane_sections = 0;
};

// Reads every key of one effect (so that a bad value fails before anything is allocated) and
// plans it for the call's sample rate and channel count.
using EffectPlanner = PlannedEffect (*)(const ParamReader& params, float sample_rate, int channels);

// The heap block of an effect object of class T, which every plan counts besides its state.
template <typename T>
ByteCount effect_object_bytes() {
    return heap_block_bytes(ByteCount(sizeof(T)));
}

// One heap block holding `element_bytes` for each of `channels` channels.
inline ByteCount per_channel_bytes(int channels, std::size_t element_bytes) {
    return heap_array_bytes(static_cast<std::uint64_t>(channels < 0 ? 0 : channels), element_bytes);
}

// A plan for an effect of class T whose state is `memory`, built by `make`.
template <typename T, typename Make>
PlannedEffect plan_effect(EffectMemory memory, Make&& make, LaneKind lanes = LaneKind::none) {
    memory.state += effect_object_bytes<T>();
    return PlannedEffect{memory, std::function<EffectPtr()>(std::forward<Make>(make)), false,
                         lanes};
}

}  // namespace kavri
