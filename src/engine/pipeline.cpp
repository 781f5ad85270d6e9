#include "engine/effect.hpp"

namespace kavri {

void run_effects(EffectList& effects, float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) {
    const unsigned int effective_workers = workers != 0 ? workers : 1;
    for (EffectPtr& effect : effects) {
        effect->process(data, frames, channels, block_size, effective_workers);
    }
}

}  // namespace kavri
