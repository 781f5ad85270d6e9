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

// As for_each_block, starting at the block that holds frame `first` and wrapping round to
// frame 0 after the last block: the same blocks, each once, in another order. For work whose
// order does not matter (a memoryless step), so that workers sharing the rows of a buffer can
// start in different places instead of writing the same cache lines and pages at once.
template <typename Fn>
inline void for_each_block_from(unsigned long long frames, unsigned long long block_size,
                                unsigned long long first, Fn&& fn) {
    const unsigned long long start = first < frames ? first / block_size * block_size : 0;
    for_each_block(
        frames - start, block_size,
        [&](unsigned long long begin, unsigned long long count) { fn(start + begin, count); });
    for_each_block(start, block_size, fn);
}

}  // namespace kavri
