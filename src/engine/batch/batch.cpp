#include "engine/batch/batch.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <numeric>
#include <string>
#include <thread>
#include <utility>

#include "engine/batch/lane_job.hpp"
#include "engine/effect.hpp"

namespace kavri {

namespace lanes_w4 {
void run(const LaneJob& job);
}
namespace lanes_w8 {
void run(const LaneJob& job);
}
namespace lanes_w16 {
void run(const LaneJob& job);
}

namespace {

bool cpu_runs(int width) {
    __builtin_cpu_init();
    switch (width) {
        case 1:
        case 4:
            return true;
        case 8:
            return __builtin_cpu_supports("avx2") != 0;
        case 16:
            return __builtin_cpu_supports("avx512f") != 0;
        default:
            return false;
    }
}

int widest_width() noexcept {
    for (const int width : {16, 8, 4}) {
        if (cpu_runs(width)) {
            return width;
        }
    }
    return 4;
}

// Chosen once while the library loads, as the vector math chooses its functions.
const int chosen_width = widest_width();

void run_lane_job(const LaneJob& job) {
    switch (job.width) {
        case 16:
            lanes_w16::run(job);
            break;
        case 8:
            lanes_w8::run(job);
            break;
        default:
            lanes_w4::run(job);
            break;
    }
}

// The shortest sequence of kinds that holds both `a` and `b` in order (from their longest
// common one), with where each element of `a` and of `b` went.
std::vector<LaneKind> merge_steps(const std::vector<LaneKind>& a, const std::vector<LaneKind>& b,
                                  std::vector<std::size_t>& where_a,
                                  std::vector<std::size_t>& where_b) {
    const std::size_t n = a.size();
    const std::size_t m = b.size();
    std::vector<LaneKind> merged;
    where_a.assign(n, 0);
    where_b.assign(m, 0);
    // A common beginning is matched step for step, as the walk below would match it: the
    // table covers only what follows. Items of one chain (the usual batch) need none; the
    // table of two chains of 8,000 steps had taken 535 MB that no memory check saw.
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n && j < m && a[i] == b[j]) {
        where_a[i] = merged.size();
        where_b[j] = merged.size();
        merged.push_back(a[i]);
        ++i;
        ++j;
    }
    const std::size_t first = i;
    const std::size_t columns = m - first + 1;
    CallMemory memory;
    require_memory(
        heap_array_bytes(ByteCount::product(n - first + 1, columns).bytes(), sizeof(std::uint32_t)),
        "matching the steps of two chains of " + std::to_string(n) + " and " + std::to_string(m) +
            " effects",
        memory);
    // common[i][j]: the longest common sequence of a[i:] and b[j:] (counts of steps, which
    // fit 32 bits as no chain holds 2**32 effects).
    std::vector<std::uint32_t> common((n - first + 1) * columns, 0);
    const auto at = [first, columns](std::size_t x, std::size_t y) {
        return (x - first) * columns + (y - first);
    };
    for (std::size_t x = n; x-- > first;) {
        for (std::size_t y = m; y-- > first;) {
            common[at(x, y)] = a[x] == b[y] ? common[at(x + 1, y + 1)] + 1
                                            : std::max(common[at(x + 1, y)], common[at(x, y + 1)]);
        }
    }
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j]) {
            where_a[i] = merged.size();
            where_b[j] = merged.size();
            merged.push_back(a[i]);
            ++i;
            ++j;
        } else if (j == m || (i < n && common[at(i + 1, j)] >= common[at(i, j + 1)])) {
            where_a[i] = merged.size();
            merged.push_back(a[i++]);
        } else {
            where_b[j] = merged.size();
            merged.push_back(b[j++]);
        }
    }
    return merged;
}

std::vector<LaneKind> kinds_of(const EffectPlan& chain) {
    std::vector<LaneKind> kinds(chain.size());
    for (std::size_t k = 0; k < chain.size(); ++k) {
        kinds[k] = chain[k].lanes;
    }
    return kinds;
}

std::vector<int> sections_of(const EffectPlan& chain) {
    std::vector<int> sections(chain.size());
    for (std::size_t k = 0; k < chain.size(); ++k) {
        sections[k] = chain[k].lane_sections;
    }
    return sections;
}

bool runs_in_lanes(const EffectPlan& chain) {
    for (std::size_t k = 0; k < chain.size(); ++k) {
        if (chain[k].lanes == LaneKind::none || chain[k].holds_frames) {
            return false;
        }
    }
    return true;
}

// Allocations of one group besides its effects: the steps, the effect lists and the chunk.
ByteCount group_bytes(std::size_t steps, std::size_t items) {
    return heap_array_bytes(steps, sizeof(LaneStep)) + heap_array_bytes(items, sizeof(EffectList)) +
           heap_array_bytes(kLaneScratchFloats + 16, sizeof(float));
}

}  // namespace

bool lane_width_available(int width) {
    return cpu_runs(width);
}

int chosen_lane_width() {
    return chosen_width;
}

BatchPlan::BatchPlan(std::vector<BatchItem> items, const std::vector<EffectPlan>& chains,
                     int channels, int lane_width)
    : items_(std::move(items)), chains_(chains), channels_(channels), lane_width_(lane_width) {
    std::vector<std::vector<LaneKind>> kinds(chains_.size());
    std::vector<bool> in_lanes(chains_.size(), false);
    std::vector<bool> distorts(chains_.size(), false);
    std::vector<std::vector<int>> sections(chains_.size());
    for (std::size_t c = 0; c < chains_.size(); ++c) {
        kinds[c] = kinds_of(chains_[c]);
        sections[c] = sections_of(chains_[c]);
        distorts[c] =
            std::find(kinds[c].begin(), kinds[c].end(), LaneKind::distortion) != kinds[c].end();
        in_lanes[c] = lane_width_ > 1 && channels_ <= group_lanes() && runs_in_lanes(chains_[c]);
    }
    // Groups of items of about the same length, and among those of the same chain kinds and
    // filter sections, so that a group walks few frames and few steps and sections that only
    // some of its lanes take; first of
    // all by whether they distort, the one step whose cost grows with its lanes (the vector
    // tanh takes every lane it is given), so that a distortion runs on whole groups.
    std::vector<std::size_t> grouped;
    for (std::size_t i = 0; i < items_.size(); ++i) {
        if (in_lanes[items_[i].chain] && items_[i].frames != 0) {
            grouped.push_back(i);
        } else {
            Task task;
            task.items.push_back(i);
            const EffectPlan& chain = chains_[items_[i].chain];
            task.memory = chain.state_bytes() + chain.largest_scratch() +
                          heap_array_bytes(1, sizeof(EffectList));
            tasks_.push_back(std::move(task));
        }
    }
    std::sort(grouped.begin(), grouped.end(), [&](std::size_t x, std::size_t y) {
        if (items_[x].frames != items_[y].frames) {
            return items_[x].frames > items_[y].frames;
        }
        if (distorts[items_[x].chain] != distorts[items_[y].chain]) {
            return static_cast<bool>(distorts[items_[x].chain]);
        }
        if (kinds[items_[x].chain] != kinds[items_[y].chain]) {
            return kinds[items_[x].chain] < kinds[items_[y].chain];
        }
        if (sections[items_[x].chain] != sections[items_[y].chain]) {
            return sections[items_[x].chain] < sections[items_[y].chain];
        }
        return x < y;
    });
    const int per_group = group_lanes() / std::max(channels_, 1);
    for (std::size_t first = 0; first < grouped.size();) {
        const std::size_t count =
            std::min(grouped.size() - first, static_cast<std::size_t>(std::max(per_group, 1)));
        Task task;
        task.lanes = true;
        std::size_t taken = 0;
        for (std::size_t k = first; k < first + count; ++k) {
            const std::size_t item = grouped[k];
            const std::vector<LaneKind>& own = kinds[items_[item].chain];
            std::vector<std::size_t> where_steps;
            std::vector<std::size_t> where_own;
            std::vector<LaneKind> merged;
            try {
                merged = merge_steps(task.steps, own, where_steps, where_own);
            } catch (const MemoryBudgetError&) {
                // Two long chains whose matching does not fit: the item starts a group of its
                // own instead, as each item runs as a call of its own would.
                if (taken == 0) {
                    throw;
                }
                break;
            }
            ++taken;
            task.steps = std::move(merged);
            for (std::vector<std::size_t>& earlier : task.step_of) {
                for (std::size_t& step : earlier) {
                    step = where_steps[step];
                }
            }
            task.items.push_back(item);
            task.step_of.push_back(std::move(where_own));
            task.memory += chains_[items_[item].chain].state_bytes();
        }
        task.memory += group_bytes(task.steps.size(), task.items.size());
        tasks_.push_back(std::move(task));
        first += taken;
    }
    // The largest tasks first, so that one long task does not start last.
    std::sort(tasks_.begin(), tasks_.end(), [&](const Task& x, const Task& y) {
        const auto work = [&](const Task& t) {
            std::uint64_t frames = 0;
            for (const std::size_t item : t.items) {
                frames = std::max(frames, items_[item].frames);
            }
            return t.lanes ? frames : frames * t.items.size();
        };
        if (work(x) != work(y)) {
            return work(x) > work(y);
        }
        return x.items.front() < y.items.front();
    });
}

ByteCount BatchPlan::run_bytes(unsigned int workers) const {
    std::vector<std::uint64_t> sizes;
    sizes.reserve(tasks_.size());
    for (const Task& task : tasks_) {
        sizes.push_back(task.memory.bytes());
    }
    const std::size_t at_once = std::min<std::size_t>(std::max(workers, 1U), sizes.size());
    std::partial_sort(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(at_once),
                      sizes.end(), std::greater<>());
    ByteCount total;
    for (std::size_t k = 0; k < at_once; ++k) {
        total += ByteCount(sizes[k]);
    }
    return total;
}

int BatchPlan::group_lanes() const {
    return kVectorsPerGroup * lane_width_;
}

std::size_t BatchPlan::lane_groups() const {
    return static_cast<std::size_t>(
        std::count_if(tasks_.begin(), tasks_.end(), [](const Task& t) { return t.lanes; }));
}

std::size_t BatchPlan::single_items() const {
    return tasks_.size() - lane_groups();
}

void BatchPlan::run_task(const Task& task, unsigned long long block_size) const {
    if (task.lanes) {
        run_group(task);
        return;
    }
    for (const std::size_t index : task.items) {
        const BatchItem& item = items_[index];
        if (item.frames == 0) {
            continue;
        }
        EffectList effects;
        chains_[item.chain].build(effects);
        run_effects_from(effects, item.input, item.output, item.frames, channels_, block_size, 1);
    }
}

void BatchPlan::run_group(const Task& task) const {
    std::vector<EffectList> effects(task.items.size());
    for (std::size_t k = 0; k < task.items.size(); ++k) {
        chains_[items_[task.items[k]].chain].build(effects[k]);
    }
    std::vector<LaneStep> steps(task.steps.size());
    for (std::size_t s = 0; s < steps.size(); ++s) {
        steps[s].kind = task.steps[s];
    }
    LaneJob job;
    job.width = lane_width_;
    int lane = 0;
    for (std::size_t k = 0; k < task.items.size(); ++k) {
        const BatchItem& item = items_[task.items[k]];
        job.longest = std::max(job.longest, item.frames);
        for (int ch = 0; ch < channels_; ++ch, ++lane) {
            const auto offset = static_cast<std::uint64_t>(ch);
            job.input[lane] = item.input + offset;
            job.output[lane] = item.output + offset;
            job.frames[lane] = item.frames;
            job.stride[lane] = static_cast<std::uint64_t>(channels_);
            std::size_t e = 0;
            for (EffectPtr& effect : effects[k]) {
                LaneStep& step = steps[task.step_of[k][e++]];
                LaneParams params;
                effect->lane_params(ch, params);
                step.active |= 1U << static_cast<unsigned>(lane);
                for (int v = 0; v < kLaneValues; ++v) {
                    step.value[v][lane] = params.value[v];
                }
                step.running[lane] = params.running;
                if (step.kind == LaneKind::biquad) {
                    step.stages[lane] = params.stages;
                    step.sections = std::max(step.sections, params.stages);
                    step.state[lane] = params.sections;
                }
                step.line[lane] = params.line;
                step.line_length[lane] = params.line_length;
                step.line_position[lane] = params.line_position;
            }
        }
    }
    job.lanes = lane;
    job.steps = steps.data();
    job.step_count = steps.size();
    // The chunk on a 64-byte boundary, where a 16-lane vector's loads and stores never split.
    std::vector<float> scratch(kLaneScratchFloats + 16);
    const auto address = reinterpret_cast<std::uintptr_t>(scratch.data());
    constexpr std::uintptr_t kFloatBytes = sizeof(float);
    const std::uintptr_t skip = ((64 - address % 64) % 64) / kFloatBytes;
    job.scratch = scratch.data() + skip;
    run_lane_job(job);
}

void BatchPlan::run(unsigned long long block_size, unsigned int workers) const {
    const std::size_t threads =
        std::min<std::size_t>(std::max(workers, 1U), std::max<std::size_t>(tasks_.size(), 1));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex failure_mutex;
    const auto work = [&] {
        while (!failed.load(std::memory_order_relaxed)) {
            const std::size_t t = next.fetch_add(1, std::memory_order_relaxed);
            if (t >= tasks_.size()) {
                return;
            }
            try {
                run_task(tasks_[t], block_size);
            } catch (...) {
                const std::lock_guard<std::mutex> lock(failure_mutex);
                if (!failure) {
                    failure = std::current_exception();
                }
                failed.store(true, std::memory_order_relaxed);
            }
        }
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads - 1);
        for (std::size_t k = 1; k < threads; ++k) {
            helpers.emplace_back(work);
        }
    } catch (...) {
        // The helpers already running share this frame's state: stop them and let them
        // finish before the error leaves.
        failed.store(true);
        for (std::thread& helper : helpers) {
            helper.join();
        }
        throw;
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace kavri
