// Many items, each through its own chain, in one call.
//
// An item is one buffer (frames x channels, interleaved; every item of a batch has the same
// channel count) with its chain. Items whose chains hold only effects that can run in vector
// lanes (Effect::lane_params) are put in groups of up to one vector's width of lanes, a lane
// per channel of an item; each group walks the steps that cover every item's chain in order
// (a shortest common sequence of their kinds), a step an item did not draw leaving its lanes
// alone, and a lane whose item is shorter than the group's longest giving nothing once its
// item ends. Every other item (a chain with an effect that has no lanes, more channels than a
// group has lanes, or the scalar path forced) runs by itself through its effect objects,
// exactly as one pipeline call does. Each lane does exactly the scalar recurrence of its
// channel, so every item's output is the bits of its own pipeline call, whatever the groups,
// the lane width, the worker count or the load.
//
// Memory is planned before anything is allocated: every task (a group, or an item alone)
// builds its items' effects when it starts and frees them when it ends, so a run takes at
// most what the `workers` largest tasks take at once (run_bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/batch/lane_params.hpp"
#include "engine/effect_plan.hpp"
#include "engine/memory_budget.hpp"

namespace kavri {

// The lane widths this processor runs: 4 always (SSE2), 8 with AVX2, 16 with AVX-512F.
// Width 1 stands for the scalar path: every item alone through its effect objects.
bool lane_width_available(int width);
// The widest available width, chosen when the library loads.
int chosen_lane_width();

struct BatchItem {
    const float* input = nullptr;  // frames x channels floats, only read
    float* output = nullptr;       // frames x channels floats
    std::uint64_t frames = 0;
    std::size_t chain = 0;  // the item's chain among the batch's chains
};

class BatchPlan {
public:
    // Groups the items by the chains' planned effects. `chains` must outlive the plan; each
    // item's chain index is below chains.size(). lane_width is 1, 4, 8 or 16 and available.
    BatchPlan(std::vector<BatchItem> items, const std::vector<EffectPlan>& chains, int channels,
              int lane_width);

    // Where item `item` (in the order given) is read from and written to, once the outputs
    // exist: a plan is made first, so that its memory can be checked before they do.
    void place(std::size_t item, const float* input, float* output) {
        items_[item].input = input;
        items_[item].output = output;
    }

    // What a run takes besides the items' outputs with `workers` threads: the states and
    // scratch of the `workers` largest tasks.
    ByteCount run_bytes(unsigned int workers) const;

    // Runs every item. Touches nothing but the items' buffers and the heap, so it may run
    // without the interpreter lock. The first exception of any task is rethrown after every
    // thread has stopped; outputs are then incomplete and must be dropped.
    void run(unsigned long long block_size, unsigned int workers) const;

    std::size_t lane_groups() const;
    std::size_t single_items() const;

private:
    struct Task {
        std::vector<std::size_t> items;
        bool lanes = false;
        // For a group: the kinds of its steps, and for each item the step of each effect.
        std::vector<LaneKind> steps;
        std::vector<std::vector<std::size_t>> step_of;
        ByteCount memory;
    };

    // Lanes in a group: kVectorsPerGroup vectors of the lane width.
    int group_lanes() const;
    void run_task(const Task& task, unsigned long long block_size) const;
    void run_group(const Task& task) const;

    std::vector<BatchItem> items_;
    const std::vector<EffectPlan>& chains_;
    int channels_;
    int lane_width_;
    std::vector<Task> tasks_;
};

}  // namespace kavri
