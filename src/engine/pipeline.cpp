#include "engine/effect.hpp"

#include <cstring>

namespace kavri {

void run_effects(EffectList& effects, float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) {
    const unsigned int effective_workers = workers != 0 ? workers : 1;
    for (EffectPtr& effect : effects) {
        effect->process(data, frames, channels, block_size, effective_workers);
    }
}

void run_effects_from(EffectList& effects, const float* source, float* data,
                      unsigned long long frames, int channels, unsigned long long block_size,
                      unsigned int workers) {
    const unsigned int effective_workers = workers != 0 ? workers : 1;
    auto effect = effects.begin();
    if (effect == effects.end() ||
        !(*effect)->process_from(source, data, frames, channels, block_size, effective_workers)) {
        const auto samples =
            static_cast<std::size_t>(frames * static_cast<unsigned long long>(channels));
        if (samples != 0) {
            std::memcpy(data, source, samples * sizeof(float));
        }
        if (effect != effects.end()) {
            (*effect)->process(data, frames, channels, block_size, effective_workers);
        }
    }
    if (effect != effects.end()) {
        for (++effect; effect != effects.end(); ++effect) {
            (*effect)->process(data, frames, channels, block_size, effective_workers);
        }
    }
}

}  // namespace kavri
