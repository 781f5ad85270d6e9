// process_batch: a batch of items, each (frames, channels) float32, through a chain each, in
// one call. The chains are read and planned with the interpreter lock held (a chain object
// given for several items is planned once), the whole call's memory (the outputs, and the
// states and scratch of the work that runs at once) is checked before anything is
// allocated, and the items then run with the lock released (engine/batch).
#include "module/batch_binding.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>

#include "engine/batch/batch.hpp"
#include "engine/effect_plan.hpp"
#include "engine/memory_budget.hpp"
#include "module/arguments.hpp"
#include "module/factory.hpp"
#include "module/input_array.hpp"
#include "module/interpreter.hpp"

namespace py = pybind11;

namespace kavri {

namespace {

constexpr std::size_t kLine = 64;

// The bytes line_aligned takes for `samples` floats (the memory guard counts them).
ByteCount line_aligned_bytes(ByteCount samples) {
    return heap_block_bytes(ByteCount::product(samples.bytes(), sizeof(float)) + ByteCount(kLine));
}

// A new float32 array of `shape` whose samples start on a cache line (64 bytes): the lane
// kernels write an item's output with streaming stores, which skip reading each line first,
// only where its lines are whole and aligned, and the allocator aligns to 16 bytes only. The
// array's base is the byte buffer it lies in.
py::array_t<float> line_aligned(const std::vector<py::ssize_t>& shape) {
    std::size_t count = 1;
    for (const py::ssize_t extent : shape) {
        count *= static_cast<std::size_t>(extent);
    }
    py::array_t<std::uint8_t> bytes(static_cast<py::ssize_t>(count * sizeof(float) + kLine));
    std::uint8_t* start = bytes.mutable_data();
    const std::size_t skip = (kLine - reinterpret_cast<std::uintptr_t>(start) % kLine) % kLine;
    return py::array_t<float>(shape, reinterpret_cast<float*>(start + skip), bytes);
}

int checked_lane_width(int lane_width) {
    if (lane_width == 0) {
        return chosen_lane_width();
    }
    if (lane_width != 1 && lane_width != 4 && lane_width != 8 && lane_width != 16) {
        throw py::value_error("lane_width must be 0 (the widest), 1 (no lanes), 4, 8 or 16, got " +
                              std::to_string(lane_width));
    }
    if (!lane_width_available(lane_width)) {
        throw py::value_error("this processor has no " + std::to_string(lane_width) +
                              "-lane vectors");
    }
    return lane_width;
}

// The items' chains, planned once per distinct chain object.
struct Chains {
    std::vector<EffectPlan> plans;
    std::vector<py::list> specs;
    std::vector<std::size_t> of_item;
};

// Refuses a batch that does not fit, in the words a pipeline call would use where one chain
// alone does not fit (naming its effect and key), else for the batch as a whole.
void require_batch_memory(ByteCount needed, std::size_t count, const Chains& chains,
                          int sample_rate, int channels) {
    CallMemory memory;
    try {
        require_memory(needed, "the batch of " + std::to_string(count) + " items", memory);
    } catch (const MemoryBudgetError&) {
        for (const py::list& specs : chains.specs) {
            plan_effects(specs, sample_rate, channels, ByteCount(0), "the batch");
        }
        throw;
    }
}

Chains plan_chains(const py::list& chains, std::size_t count, int sample_rate, int channels) {
    if (py::len(chains) != count) {
        throw py::value_error("chains has " + std::to_string(py::len(chains)) +
                              " chains for a batch of " + std::to_string(count) + " items");
    }
    Chains planned;
    std::unordered_map<PyObject*, std::size_t> seen;
    planned.of_item.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const py::object chain = chains[i];
        const auto found = seen.find(chain.ptr());
        if (found != seen.end()) {
            planned.of_item.push_back(found->second);
            continue;
        }
        // Kept alive by the list for the whole call, so its address names it.
        const py::list specs(chain);
        planned.plans.push_back(plan_chain_unchecked(specs, sample_rate, channels));
        planned.specs.push_back(specs);
        seen.emplace(chain.ptr(), planned.plans.size() - 1);
        planned.of_item.push_back(planned.plans.size() - 1);
    }
    return planned;
}

py::object process_batch(const py::object& batch, int sample_rate, const py::list& chains,
                         unsigned long long block_size, unsigned int workers, int lane_width) {
    check_sample_rate(sample_rate);
    const int width = checked_lane_width(lane_width);
    const unsigned long long blocks = effective_block_size(block_size);
    const unsigned int threads = effective_workers(workers);
    const bool stacked = py::isinstance<py::array>(batch);

    // The items as (frames, channels) float32 arrays in C order.
    std::vector<InputArray> inputs;
    InputArray whole;
    std::size_t count = 0;
    int channels = 0;
    std::uint64_t frames = 0;
    if (stacked) {
        whole = InputArray::converted(batch);
        if (whole.ndim() != 3) {
            throw std::runtime_error(
                "A batch array must have exactly 3 dimensions: (items, frames, channels).");
        }
        count = static_cast<std::size_t>(whole.shape(0));
        frames = static_cast<std::uint64_t>(whole.shape(1));
        channels = checked_channel_count(whole.shape(2));
    } else {
        const py::list items(batch);
        count = py::len(items);
        // The items' copies are held together: asked of the guard as one.
        ByteCount copies;
        for (std::size_t i = 0; i < count; ++i) {
            copies = copies + InputArray::conversion_bytes(items[i]);
        }
        CallMemory copy_memory;
        require_memory(copies, "the float32 copy of each of a batch's items", copy_memory);
        inputs.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            inputs.push_back(InputArray::converted(items[i]));
            const InputArray& item = inputs.back();
            check_buffer_dimensions(item.ndim());
            const int item_channels = checked_channel_count(item.shape(1));
            if (i == 0) {
                channels = item_channels;
            } else if (item_channels != channels) {
                throw py::value_error("item " + std::to_string(i) + " has " +
                                      std::to_string(item_channels) + " channels, item 0 has " +
                                      std::to_string(channels));
            }
        }
    }
    const Chains planned = plan_chains(chains, count, sample_rate, channels);

    // The outputs, sized with the work before either is allocated.
    const auto channel_count = static_cast<std::uint64_t>(channels);
    ByteCount output_bytes;
    std::vector<BatchItem> items(count);
    for (std::size_t i = 0; i < count; ++i) {
        items[i].frames = stacked ? frames : static_cast<std::uint64_t>(inputs[i].shape(0));
        items[i].chain = planned.of_item[i];
        if (!stacked) {
            output_bytes += line_aligned_bytes(ByteCount::product(items[i].frames, channel_count));
        }
    }
    if (stacked) {
        output_bytes = line_aligned_bytes(
            ByteCount::product(ByteCount::product(count, frames).bytes(), channel_count));
    }
    const std::vector<std::uint64_t> lengths = [&] {
        std::vector<std::uint64_t> frames_of(count);
        for (std::size_t i = 0; i < count; ++i) {
            frames_of[i] = items[i].frames;
        }
        return frames_of;
    }();
    BatchPlan plan(std::move(items), planned.plans, channels, width);
    require_batch_memory(output_bytes + plan.run_bytes(threads), count, planned, sample_rate,
                         channels);

    py::object result;
    if (stacked) {
        py::array_t<float> out =
            line_aligned({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(frames),
                          static_cast<py::ssize_t>(channels)});
        const py::buffer_info in_view = whole.request();
        const py::buffer_info out_view = out.request();
        const auto* source = static_cast<const float*>(in_view.ptr);
        auto* target = static_cast<float*>(out_view.ptr);
        const std::uint64_t item_samples = frames * channel_count;
        for (std::size_t i = 0; i < count; ++i) {
            plan.place(i, source + i * item_samples, target + i * item_samples);
        }
        result = std::move(out);
    } else {
        py::list out(count);
        for (std::size_t i = 0; i < count; ++i) {
            py::array_t<float> item_out = line_aligned(
                {static_cast<py::ssize_t>(lengths[i]), static_cast<py::ssize_t>(channels)});
            const py::buffer_info in_view = inputs[i].request();
            const py::buffer_info out_view = item_out.request();
            plan.place(i, static_cast<const float*>(in_view.ptr),
                       static_cast<float*>(out_view.ptr));
            out[i] = std::move(item_out);
        }
        result = std::move(out);
    }
    run_with_lock_released([&] { plan.run(blocks, threads); }, {&result});
    return result;
}

py::list lane_widths() {
    py::list widths;
    for (const int width : {16, 8, 4, 1}) {
        if (lane_width_available(width)) {
            widths.append(width);
        }
    }
    return widths;
}

}  // namespace

void add_batch_bindings(py::module_& m) {
    m.def("process_batch", &process_batch, py::arg("batch"), py::arg("sample_rate"),
          py::arg("chains"), py::arg("block_size") = kDefaultBlockSize, py::arg("workers") = 1U,
          py::arg("lane_width") = 0,
          "Runs each item of a batch through its own chain and returns the results: a float32 "
          "(items, frames, channels) array for such an array, else a list of (frames, "
          "channels) arrays. chains holds one chain (a list of effect specs) per item. Each "
          "item's output is the bits of process_pipeline over it. lane_width 0 runs the "
          "widest vector lanes this processor has, 1 every item alone, 4, 8 or 16 that width.");
    m.def("lane_widths", &lane_widths,
          "The lane widths process_batch can run here, widest first; 1 is no lanes.");
    m.def("chosen_lane_width", &chosen_lane_width,
          "The lane width process_batch runs by default, chosen when the module loaded.");
}

}  // namespace kavri
