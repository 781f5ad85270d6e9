// The argument checks, defaults and message texts that every entry point of the binding layer
// shares, so that a buffer, a sample rate or a channel count is refused and named with the
// same words wherever it is given.
#pragma once

#include <climits>
#include <stdexcept>
#include <string>

namespace kavri {

constexpr unsigned long long kDefaultBlockSize = 2048;

inline void check_buffer_dimensions(long long dimensions) {
    if (dimensions != 2) {
        throw std::runtime_error(
            "Audio buffers must have exactly 2 dimensions: (frames, channels).");
    }
}

inline void check_sample_rate(int sample_rate) {
    if (sample_rate <= 0) {
        throw std::runtime_error("sample_rate must be positive.");
    }
}

// The channel count as the engine holds it: a signed 32-bit int, at least 1.
inline int checked_channel_count(long long channels) {
    if (channels > INT_MAX) {
        throw std::runtime_error("Audio buffers must have at most 2147483647 channels.");
    }
    if (channels <= 0) {
        throw std::runtime_error("Audio buffers must have at least one channel.");
    }
    return static_cast<int>(channels);
}

// 0 stands for the default block size.
inline unsigned long long effective_block_size(unsigned long long block_size) {
    return block_size != 0 ? block_size : kDefaultBlockSize;
}

// 0 stands for one worker: the calling thread.
inline unsigned int effective_workers(unsigned int workers) {
    return workers != 0 ? workers : 1;
}

// "1 channel", "2 channels": a count of channels for a message.
inline std::string channel_count(long long channels) {
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

// "100 frames x 2 channels": a buffer's shape for a message.
inline std::string shape_text(unsigned long long frames, long long channels) {
    return std::to_string(frames) + " frames x " + channel_count(channels);
}

}  // namespace kavri
