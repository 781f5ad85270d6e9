// Channel partition and thread start-failure handling of parallel_for_channels.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "engine/parallel.hpp"

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
        kavri::parallel_for_channels_with(RecordingStarter{&started, fail_at}, 4, 4,
                                          [&](int, int) {
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

}  // namespace

int main() {
    test_partitions();
    test_start_failure(0);
    test_start_failure(1);
    test_start_failure(3);
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return EXIT_FAILURE;
    }
    std::printf("parallel_for_channels: all checks passed\n");
    return EXIT_SUCCESS;
}
