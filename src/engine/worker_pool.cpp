#include "engine/worker_pool.hpp"

#include <unistd.h>
#include <algorithm>
#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace kavri {

namespace {

// Each worker beyond the first needs this many samples (frames x channels) of the buffer to
// pay for itself: 2^23, 32 MiB of float32.
//
// Measured on the development machine (2 cores of an AMD EPYC, shared with other developers'
// builds and tests, so that the other core is often busy) with the method of
// bench/bench_workers.py --calibrate: process_pipeline on buffers of 2^15 to 2^25 samples in
// 4 to 32 channels, through the "mastering" preset (work on every sample) and a single gain
// (the least work per sample), workers=1 against workers=2 in alternating rounds in one
// process, comparing median times. With the other core free, the mastering chain gains from
// about 2^17 samples (1.3-1.8x from 2^19 on); with it busy, a second thread first waits for
// it (milliseconds), and the gain only shows from about 2^21. The gain chain, bound by memory
// speed, never gains much: it loses at every size below 2^23, where a second thread costs it
// up to 2 ms per call, and is even with one worker from about 2^24 in 32 channels. The
// threshold is the smallest size at which the light chain's loss is no more than a couple of
// milliseconds while the heavy one saves a third of its time or more; below it a thread's
// start (about 38 us per effect) and the wait for the other core are not worth it. Results
// are in bench/results/workers.md.
constexpr unsigned long long kSamplesPerExtraWorker = 1ULL << 23;

#if defined(__x86_64__) || defined(__i386__)
unsigned int read_control() {
    return _mm_getcsr();
}
void write_control(unsigned int control) {
    _mm_setcsr(control);
}
unsigned short read_x87_control() {
    unsigned short word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}
void write_x87_control(unsigned short word) {
    __asm__ volatile("fldcw %0" : : "m"(word));
}
#else
unsigned int read_control() {
    return 0;
}
void write_control(unsigned int) {}
unsigned short read_x87_control() {
    return 0;
}
void write_x87_control(unsigned short) {}
#endif

thread_local WorkerPool* current_pool = nullptr;

}  // namespace

unsigned long long samples_for_workers(unsigned int workers) {
    return workers <= 1 ? 0 : static_cast<unsigned long long>(workers - 1) * kSamplesPerExtraWorker;
}

int channel_groups(int channels) {
    if (channels <= 0) {
        return 0;
    }
    const int rest = channels % 4;
    return channels / 4 + (rest >= 2 ? 1 : 0) + (rest % 2);
}

unsigned int useful_workers(int channels, unsigned long long frames, unsigned int workers) {
    if (workers <= 1 || channels <= 1) {
        return 1;
    }
    const auto groups = static_cast<unsigned int>(channel_groups(channels));
    unsigned int count = std::min(workers, groups);
    // Every worker past the first needs its own share of samples to pay for its start.
    const unsigned long long samples = frames > ~0ULL / static_cast<unsigned long long>(channels)
                                           ? ~0ULL
                                           : frames * static_cast<unsigned long long>(channels);
    const unsigned long long affordable = samples / kSamplesPerExtraWorker + 1;
    if (affordable < count) {
        count = static_cast<unsigned int>(affordable);
    }
    return count;
}

std::vector<int> channel_group_ends(int channels, int parts) {
    // Where a group may end: every fourth channel, then after a remaining pair, then the end.
    std::vector<int> borders;
    const int whole = channels - channels % 4;
    for (int b = 4; b <= whole; b += 4) {
        borders.push_back(b);
    }
    if (channels % 4 >= 2) {
        borders.push_back(whole + 2);
    }
    if (borders.empty() || borders.back() != channels) {
        borders.push_back(channels);
    }
    parts = std::max(1, std::min(parts, static_cast<int>(borders.size())));
    // Part j ends at the border nearest to its even share, leaving a border for each later
    // part; the borders of consecutive parts increase.
    std::vector<int> ends;
    std::size_t next = 0;
    for (int j = 1; j < parts; ++j) {
        const long long target = static_cast<long long>(channels) * j / parts;
        const std::size_t last_allowed = borders.size() - static_cast<std::size_t>(parts - j) - 1;
        std::size_t best = next;
        for (std::size_t k = next; k <= last_allowed; ++k) {
            if (std::llabs(borders[k] - target) < std::llabs(borders[best] - target)) {
                best = k;
            }
        }
        ends.push_back(borders[best]);
        next = best + 1;
    }
    ends.push_back(channels);
    return ends;
}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) {
        thread.join();
    }
}

bool WorkerPool::forked() const {
    return owner_pid_ != 0 && owner_pid_ != getpid();
}

void WorkerPool::reserve_threads(std::size_t count) {
    while (threads_.size() < count) {
        const std::size_t index = threads_.size() + 1;
        // Throws std::system_error when the thread cannot start; nothing else has changed.
        threads_.emplace_back([this, index] { work(index); });
        owner_pid_ = getpid();
    }
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count <= 1) {
        if (count == 1) {
            task(0);
        }
        return;
    }
    reserve_threads(count - 1);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        count_ = count;
        pending_ = count - 1;
        failure_ = nullptr;
        control_ = read_control();
        x87_control_ = read_x87_control();
        ++generation_;
    }
    wake_.notify_all();
    std::exception_ptr own_failure;
    try {
        task(0);
    } catch (...) {
        own_failure = std::current_exception();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
    task_ = nullptr;
    if (own_failure) {
        std::rethrow_exception(own_failure);
    }
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

void WorkerPool::work(std::size_t index) {
    unsigned long long seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || (generation_ != seen && index < count_); });
        if (stopping_) {
            return;
        }
        seen = generation_;
        const std::function<void(std::size_t)>& task = *task_;
        const unsigned int control = control_;
        const unsigned short x87_control = x87_control_;
        lock.unlock();
        if (read_control() != control) {
            write_control(control);
        }
        if (read_x87_control() != x87_control) {
            write_x87_control(x87_control);
        }
        std::exception_ptr failure;
        try {
            task(index);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure && !failure_) {
            failure_ = failure;
        }
        if (--pending_ == 0) {
            done_.notify_one();
        }
    }
}

WorkerPool* current_worker_pool() {
    return current_pool;
}

UseWorkerPool::UseWorkerPool(WorkerPool* pool) : previous_(current_pool) {
    current_pool = pool;
}

UseWorkerPool::~UseWorkerPool() {
    current_pool = previous_;
}

}  // namespace kavri
