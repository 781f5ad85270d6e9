// Spreading the channels of an interleaved buffer over worker threads.
#pragma once

#include <algorithm>
#include <thread>
#include <utility>
#include <vector>

#include "engine/worker_pool.hpp"

namespace kavri {

// What one worker thread runs: the shared channel-range function over its own channels.
template <typename Fn>
struct ChannelWorker {
    int first_channel;
    int last_channel;
    Fn& fn;

    void operator()() const { fn(first_channel, last_channel); }
};

// Starts an operating-system thread; a failed start throws std::system_error.
struct StartStdThread {
    template <typename Body>
    std::thread operator()(Body&& body) const {
        return std::thread(std::forward<Body>(body));
    }
};

// As parallel_for_channels, with the way threads are started given by the caller, so that a
// failing start can be exercised.
template <typename StartThread, typename Fn>
void parallel_for_channels_with(StartThread&& start_thread, int channels, unsigned int workers,
                                Fn&& fn) {
    if (channels <= 1 || workers <= 1) {
        if (channels >= 1) {
            fn(0, channels);
        }
        return;
    }
    const unsigned int thread_count = static_cast<unsigned int>(channels) < workers
                                          ? static_cast<unsigned int>(channels)
                                          : workers;
    const int count = static_cast<int>(thread_count);
    const int base = channels / count;
    const int extra = channels % count;

    std::vector<std::thread> threads;
    threads.reserve(thread_count);
    int start = 0;
    try {
        for (int i = 0; i < count; ++i) {
            const int end = start + base + (i < extra ? 1 : 0);
            threads.push_back(
                start_thread(ChannelWorker<std::remove_reference_t<Fn>>{start, end, fn}));
            start = end;
        }
    } catch (...) {
        // The workers already running use fn, which lives in the caller's frame: let them
        // finish before the error leaves, so that nothing is left joinable.
        for (std::thread& thread : threads) {
            thread.join();
        }
        throw;
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Runs fn(first_channel, last_channel) over contiguous channel ranges that together cover
// [0, channels) once: on the calling thread when channels or workers is at most 1, otherwise
// on min(channels, workers) worker threads, the first channels % threads of them taking one
// channel more than the others. Returns when every channel is done.
//
// On a thread with a current worker pool (a stream's run) the ranges are instead whole
// channel groups, min(workers, channel_groups(channels)) of them, run by the pool's threads
// and the calling thread (channel_group_ends). Each channel's result is the same either way.
template <typename Fn>
void parallel_for_channels(int channels, unsigned int workers, Fn&& fn) {
    if (WorkerPool* pool = current_worker_pool(); pool != nullptr && channels > 1 && workers > 1) {
        const int parts = static_cast<int>(
            std::min<unsigned int>(workers, static_cast<unsigned int>(channel_groups(channels))));
        const std::vector<int> ends = channel_group_ends(channels, parts);
        pool->run(ends.size(),
                  [&](std::size_t part) { fn(part == 0 ? 0 : ends[part - 1], ends[part]); });
        return;
    }
    parallel_for_channels_with(StartStdThread{}, channels, workers, std::forward<Fn>(fn));
}

}  // namespace kavri
