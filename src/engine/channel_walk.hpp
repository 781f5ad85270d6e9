// The frame walk shared by the per-channel effects.
#pragma once

#include "engine/block_walk.hpp"
#include "engine/parallel.hpp"
#include "effects/clamp.hpp"

namespace kavri {

// Runs step(ch, sample) on every sample of every channel, in frame order within each
// channel, over the channel ranges of parallel_for_channels. `step` reads and writes the
// sample in place and may keep state for its channel only.
template <typename Step>
void for_each_channel_sample(float* data, unsigned long long frames, int channels,
                             unsigned long long block_size, unsigned int workers,
                             const Step& step) {
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        const auto stride = static_cast<unsigned long long>(channels);
        for (int ch = first_channel; ch < last_channel; ++ch) {
            for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
                float* sample = data + start * stride + static_cast<unsigned long long>(ch);
                for (unsigned long long i = 0; i < count; ++i, sample += stride) {
                    step(ch, *sample);
                }
            });
        }
    });
}

}  // namespace kavri
