// Worker threads kept alive between runs by their owner (a stream), and the rule for how many
// workers a buffer can use.
//
// process_pipeline starts its workers per effect per call; a stream fed short chunks would pay
// that start (tens of microseconds) for every effect of every chunk. A stream instead owns a
// WorkerPool and makes it the current pool of its calling thread while it runs a chunk
// (UseWorkerPool); parallel_for_channels then hands its channel ranges to the pool's threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kavri {

// How many of `workers` threads are worth using on a buffer of `frames` x `channels`. Each
// worker is given whole groups of channels as the channel walks take them (four at a time,
// then two, then one; see channel_groups), so a stereo buffer, one group, is never split:
// two threads writing neighbouring samples of the same rows would each lose the paired walk
// and fight over the same cache lines. A buffer too small for a thread's start to pay off
// gets one worker. Pure: the same arguments give the same count everywhere.
unsigned int useful_workers(int channels, unsigned long long frames, unsigned int workers);

// The fewest samples (frames x channels) a buffer needs for useful_workers to give it
// `workers` workers.
unsigned long long samples_for_workers(unsigned int workers);

// The number of channel groups the walks make of `channels` channels: one per four, then one
// for a remaining pair, then one for a last single channel.
int channel_groups(int channels);

// The ends of `parts` contiguous ranges that cover [0, channels) in whole channel groups, as
// even in channel count as whole groups allow. parts must be between 1 and
// channel_groups(channels); the last end is `channels`.
std::vector<int> channel_group_ends(int channels, int parts);

// Threads that wait for work between runs. Every thread is joined when the pool is destroyed.
class WorkerPool {
public:
    WorkerPool() = default;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool();

    // True in a child made by fork() after the pool's first thread started: the child has
    // none of the threads, so its owner must let go of the pool (leaking it: its lock may have
    // been held by a thread that is not there) and take a new one.
    bool forked() const;

    // Makes sure `count` threads are running, starting the missing ones. A thread that cannot
    // start throws std::system_error; the threads already running stay in the pool.
    void reserve_threads(std::size_t count);
    std::size_t threads() const { return threads_.size(); }

    // Runs task(0) on the calling thread and task(1) ... task(count - 1) on pool threads,
    // starting threads as reserve_threads does, and returns when every task is done. Each pool
    // thread takes on the calling thread's floating-point control state first (SSE rounding,
    // flush-to-zero, denormals-are-zero, and the x87 word), as a freshly started thread would
    // inherit it. The first exception a task throws is rethrown here once all are done.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void work(std::size_t index);

    std::vector<std::thread> threads_;
    int owner_pid_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::size_t count_ = 0;
    std::size_t pending_ = 0;
    unsigned long long generation_ = 0;
    bool stopping_ = false;
    unsigned int control_ = 0;
    unsigned short x87_control_ = 0;
    std::exception_ptr failure_;
};

// The pool parallel_for_channels hands work to on this thread, or null (start threads).
WorkerPool* current_worker_pool();

// Makes `pool` the calling thread's current pool for the scope's lifetime.
class UseWorkerPool {
public:
    explicit UseWorkerPool(WorkerPool* pool);
    UseWorkerPool(const UseWorkerPool&) = delete;
    UseWorkerPool& operator=(const UseWorkerPool&) = delete;
    ~UseWorkerPool();

private:
    WorkerPool* previous_;
};

}  // namespace kavri
