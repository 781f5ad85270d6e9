// Channel partition and thread start-failure handling of parallel_for_channels; the useful
// worker count, the whole-group ranges and the worker pool a stream keeps.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/parallel.hpp"
#include "engine/worker_pool.hpp"

namespace {

int failures = 0;

void check(bool condition, const char* what, int line) {
    if (!condition) {
        std::printf("FAILED line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

using Ranges = std::vector<std::pair<int, int>>;

// Starts real threads and records, in start order, the range each worker was given.
struct RecordingStarter {
    Ranges* started;
    int fail_at = -1;  // index of the start that fails, -1 for none

    template <typename Worker>
    std::thread operator()(Worker&& worker) const {
        if (static_cast<int>(started->size()) == fail_at) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                    "thread start refused");
        }
        started->emplace_back(worker.first_channel, worker.last_channel);
        return std::thread(std::forward<Worker>(worker));
    }
};

void test_partition(int channels, unsigned workers, const Ranges& expected_threads) {
    Ranges started;
    std::mutex mutex;
    Ranges seen;
    std::thread::id caller = std::this_thread::get_id();
    bool ran_on_caller = false;
    kavri::parallel_for_channels_with(RecordingStarter{&started}, channels, workers,
                                      [&](int first, int last) {
                                          std::lock_guard<std::mutex> lock(mutex);
                                          seen.emplace_back(first, last);
                                          ran_on_caller |= std::this_thread::get_id() == caller;
                                      });
    CHECK(started == expected_threads);
    if (expected_threads.empty()) {
        // No workers: the whole range on the calling thread, once.
        CHECK(channels < 1 || (seen == Ranges{{0, channels}} && ran_on_caller));
        CHECK(channels >= 1 || seen.empty());
    } else {
        std::sort(seen.begin(), seen.end());
        CHECK(seen == expected_threads);
        CHECK(!ran_on_caller);
    }
}

void test_partitions() {
    test_partition(1, 8, {});
    test_partition(6, 1, {});
    test_partition(0, 4, {});
    test_partition(2, 8, {{0, 1}, {1, 2}});
    test_partition(5, 3, {{0, 2}, {2, 4}, {4, 5}});
    test_partition(6, 4, {{0, 2}, {2, 4}, {4, 5}, {5, 6}});
    test_partition(7, 2, {{0, 4}, {4, 7}});
    test_partition(8, 3, {{0, 3}, {3, 6}, {6, 8}});
    test_partition(3, 64, {{0, 1}, {1, 2}, {2, 3}});
}

// A later start fails while earlier workers run: the error must reach the caller only after
// those workers have finished, and no thread may be left joinable (that would terminate).
void test_start_failure(int fail_at) {
    Ranges started;
    std::atomic<int> finished{0};
    bool threw = false;
    try {
        kavri::parallel_for_channels_with(RecordingStarter{&started, fail_at}, 4, 4, [&](int, int) {
            // Slow enough that an unjoined worker would
            // still be running when the error arrives.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            finished.fetch_add(1);
        });
    } catch (const std::system_error&) {
        threw = true;
    }
    CHECK(threw);
    CHECK(static_cast<int>(started.size()) == fail_at);
    CHECK(finished.load() == fail_at);
}

// Whole channel groups per worker, and one worker where a thread cannot pay for itself.
void test_useful_workers_and_group_ranges() {
    using kavri::channel_group_ends;
    using kavri::useful_workers;
    CHECK(kavri::channel_groups(2) == 1 && kavri::channel_groups(7) == 3 &&
          kavri::channel_groups(32) == 8);
    CHECK((channel_group_ends(2, 1) == std::vector<int>{2}));
    CHECK((channel_group_ends(8, 2) == std::vector<int>{4, 8}));
    CHECK((channel_group_ends(32, 2) == std::vector<int>{16, 32}));
    CHECK((channel_group_ends(32, 3) == std::vector<int>{8, 20, 32}));
    CHECK((channel_group_ends(6, 2) == std::vector<int>{4, 6}));
    CHECK((channel_group_ends(7, 3) == std::vector<int>{4, 6, 7}));
    CHECK((channel_group_ends(5, 2) == std::vector<int>{4, 5}));
    const unsigned long long big = 1ULL << 30;
    // A stereo or four-channel buffer is one group: never split, however long.
    CHECK(useful_workers(2, big, 2) == 1 && useful_workers(4, big, 8) == 1);
    CHECK(useful_workers(8, big, 2) == 2 && useful_workers(8, big, 16) == 2);
    CHECK(useful_workers(32, big, 3) == 3 && useful_workers(7, big, 64) == 3);
    CHECK(useful_workers(1, big, 4) == 1 && useful_workers(32, big, 1) == 1 &&
          useful_workers(32, big, 0) == 1);
    // Short buffers run on one worker; each further worker needs as many samples again.
    const unsigned long long per_worker = 1ULL << 23;
    CHECK(useful_workers(32, per_worker / 32 - 1, 4) == 1);
    CHECK(useful_workers(32, per_worker / 32, 4) == 2);
    CHECK(useful_workers(32, 3 * per_worker / 32, 4) == 4);
    CHECK(useful_workers(32, 256, 2) == 1);
    CHECK(useful_workers(64, ~0ULL, 2) == 2);  // no overflow
}

// A pool's threads serve run after run, take on the caller's floating-point control state,
// and pass a task's failure back to the caller once every task is done.
void test_worker_pool() {
    std::mutex mutex;
    std::vector<std::thread::id> first_run, second_run;
    std::atomic<int> done{0};
    {
        kavri::WorkerPool pool;
        const auto record = [&](std::vector<std::thread::id>& into) {
            return [&](std::size_t) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                const std::lock_guard<std::mutex> lock(mutex);
                into.push_back(std::this_thread::get_id());
                done.fetch_add(1);
            };
        };
        pool.run(3, record(first_run));
        pool.run(3, record(second_run));
        CHECK(done.load() == 6 && pool.threads() == 2);
        std::sort(first_run.begin(), first_run.end());
        std::sort(second_run.begin(), second_run.end());
        CHECK(first_run == second_run);  // the same threads, not new ones

        const unsigned int standard = _mm_getcsr();
        _mm_setcsr(standard | 0x8040u | 0x6000u);  // flush-to-zero, denormals-are-zero, toward zero
        std::vector<unsigned int> seen(3, 0);
        pool.run(3, [&](std::size_t k) { seen[k] = _mm_getcsr(); });
        const unsigned int caller = _mm_getcsr();
        _mm_setcsr(standard);
        CHECK(seen[1] == caller && seen[2] == caller);
        pool.run(3, [&](std::size_t k) { seen[k] = _mm_getcsr(); });
        CHECK(seen[1] == standard && seen[2] == standard);

        bool threw = false;
        std::atomic<int> finished{0};
        try {
            pool.run(3, [&](std::size_t k) {
                if (k == 2) {
                    throw std::runtime_error("task failed");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                finished.fetch_add(1);
            });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        CHECK(threw && finished.load() == 2);

        // parallel_for_channels hands whole groups to the current pool and its threads.
        Ranges seen_ranges;
        std::vector<std::thread::id> ids;
        {
            const kavri::UseWorkerPool use(&pool);
            kavri::parallel_for_channels(32, 3, [&](int a, int b) {
                const std::lock_guard<std::mutex> lock(mutex);
                seen_ranges.emplace_back(a, b);
                ids.push_back(std::this_thread::get_id());
            });
        }
        std::sort(seen_ranges.begin(), seen_ranges.end());
        CHECK((seen_ranges == Ranges{{0, 8}, {8, 20}, {20, 32}}));
        CHECK(kavri::current_worker_pool() == nullptr);
        std::sort(ids.begin(), ids.end());
        std::vector<std::thread::id> expected = first_run;
        expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
        CHECK(ids == expected);
    }
}

}  // namespace

int main() {
    try {
        test_partitions();
        test_start_failure(0);
        test_start_failure(1);
        test_start_failure(3);
        test_useful_workers_and_group_ranges();
        test_worker_pool();
    } catch (const std::exception& error) {
        std::printf("unexpected exception: %s\n", error.what());
        return EXIT_FAILURE;
    }
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return EXIT_FAILURE;
    }
    std::printf("parallel_for_channels: all checks passed\n");
    return EXIT_SUCCESS;
}
