// The walk of a buffer's frames in consecutive blocks.
#pragma once

namespace kavri {

// Calls fn(first_frame, frame_count) for consecutive blocks of block_size frames starting at
// frame 0; the last block holds the rest. block_size must be at least 1.
template <typename Fn>
inline void for_each_block(unsigned long long frames, unsigned long long block_size, Fn&& fn) {
    unsigned long long start = 0;
    while (start < frames) {
        const unsigned long long remaining = frames - start;
        const unsigned long long count = block_size < remaining ? block_size : remaining;
        fn(start, count);
        start += count;
    }
}

}  // namespace kavri
