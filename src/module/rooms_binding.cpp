// Convolver and Reverb: the convolution and the reverb of effects/rooms, each built once and
// fed chunk after chunk of (frames, channels) float32, the work done with the interpreter
// lock released. Every allocation is sized first and asked of the memory guard: the
// response's and the input's spectra, the blocks held, each chunk's output.
#include "module/rooms_binding.hpp"

#include <cmath>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "effects/rooms/convolution.hpp"
#include "effects/rooms/reverb.hpp"
#include "engine/memory_budget.hpp"
#include "module/arguments.hpp"
#include "module/input_array.hpp"
#include "module/interpreter.hpp"

namespace py = pybind11;

namespace kavri {

namespace {

void require_bytes(std::size_t bytes, const std::string& what) {
    CallMemory memory;
    require_memory(ByteCount(bytes), what, memory);
}

py::array_t<float> new_frames(std::size_t frames, int channels, const std::string& what) {
    require_bytes(frames * static_cast<std::size_t>(channels) * sizeof(float), what);
    return py::array_t<float>(
        {static_cast<py::ssize_t>(frames), static_cast<py::ssize_t>(channels)});
}

void check_chunk(const InputArray& chunk, int channels) {
    check_buffer_dimensions(chunk.ndim());
    if (chunk.shape(1) != channels) {
        throw py::value_error("chunk has " + channel_count(chunk.shape(1)) + ", the effect has " +
                              channel_count(channels));
    }
}

class NativeConvolver {
public:
    NativeConvolver(const InputArray& response, long long channels,
                    const std::vector<std::tuple<int, int, int>>& paths, float mix, bool normalize,
                    unsigned int workers, std::size_t partition, bool prototype)
        : workers_(effective_workers(workers)) {
        check_buffer_dimensions(response.ndim());
        const int count = checked_channel_count(channels);
        const auto frames = static_cast<std::size_t>(response.shape(0));
        const auto response_channels = static_cast<int>(response.shape(1));
        if (frames == 0 || response_channels < 1) {
            throw py::value_error("the impulse response holds no frames");
        }
        if (partition == 0) {
            partition = ConvolutionEffect::partition_for(frames);
        }
        if (partition < 8 || partition > kMostPartition || (partition & (partition - 1)) != 0) {
            throw py::value_error("partition must be a power of two from 8 to " +
                                  std::to_string(kMostPartition) + ", got " +
                                  std::to_string(partition));
        }
        std::vector<ConvolutionPath> routes;
        routes.reserve(paths.size());
        for (const auto& [input, ir_channel, output] : paths) {
            routes.push_back({input, ir_channel, output});
        }
        require_bytes(
            ConvolutionEffect::memory_bytes(frames, response_channels, count, partition,
                                            !prototype),
            "convolution with an impulse response of " + shape_text(frames, response_channels));
        const float* data = response.data();
        py::object keep = response;
        run_with_lock_released(
            [&] {
                effect_ = std::make_unique<ConvolutionEffect>(data, frames, response_channels,
                                                              count, std::move(routes), partition,
                                                              mix, normalize, !prototype);
            },
            {&keep});
    }

    // A new convolver with this one's response (its spectra shared), a mix and worker count of
    // its own, and fresh state: for a response used again, not transformed again.
    [[nodiscard]] NativeConvolver fresh(float mix, unsigned int workers) const {
        require_bytes(effect_->state_bytes(), "convolution: the state of a chain item");
        return NativeConvolver(std::make_unique<ConvolutionEffect>(*effect_, mix), workers);
    }

    py::array_t<float> process(const InputArray& chunk) {
        check_runs();
        check_chunk(chunk, effect_->channels());
        const BusyGuard guard(busy_);
        const auto frames = static_cast<std::size_t>(chunk.shape(0));
        py::array_t<float> output = new_frames(
            effect_->released_by(frames), effect_->channels(),
            "convolution: the output of a chunk of " + shape_text(frames, effect_->channels()));
        const float* in = chunk.data();
        float* out = output.mutable_data();
        py::object keep = chunk;
        py::object made = output;
        const HeldCopy copy(*this);
        run_with_lock_released([&] { effect_->process(in, frames, out, workers_); },
                               {&keep, &made});
        return output;
    }

    // The whole signal from the start: process() and flush() into one array.
    py::array_t<float> run_whole(const InputArray& chunk) {
        check_runs();
        check_chunk(chunk, effect_->channels());
        const BusyGuard guard(busy_);
        const auto frames = static_cast<std::size_t>(chunk.shape(0));
        py::array_t<float> output =
            new_frames(effect_->held_frames() + frames, effect_->channels(),
                       "convolution: the output of " + shape_text(frames, effect_->channels()));
        const float* in = chunk.data();
        float* out = output.mutable_data();
        py::object keep = chunk;
        py::object made = output;
        const HeldCopy copy(*this);
        run_with_lock_released([&] { effect_->run_whole(in, frames, out, workers_); },
                               {&keep, &made});
        return output;
    }

    py::array_t<float> flush() {
        check_runs();
        const BusyGuard guard(busy_);
        py::array_t<float> output =
            new_frames(effect_->held_frames(), effect_->channels(), "convolution: the held frames");
        float* out = output.mutable_data();
        py::object made = output;
        const HeldCopy copy(*this);
        run_with_lock_released([&] { effect_->flush(out, workers_); }, {&made});
        return output;
    }

    void reset() {
        check_runs();
        const BusyGuard guard(busy_, /*recovers=*/true);
        const HeldCopy copy(*this);
        effect_->reset();
    }

    // Read from a copy kept with the lock held, as a stream's is: it is asked without the busy
    // check (a stream's held_frames, while another thread's chunk runs), and the effect's own
    // count moves block by block during a run (it read the partition itself, a count no
    // chunk leaves).
    [[nodiscard]] std::size_t held_frames() const { return held_frames_; }
    [[nodiscard]] std::size_t partition() const { return effect_->partition(); }
    [[nodiscard]] double response_gain() const { return effect_->response_gain(); }

private:
    // The largest partition a convolver takes: far beyond what the front end picks, and small
    // enough that no size made from it can overflow.
    static constexpr std::size_t kMostPartition = std::size_t{1} << 24;

    // Takes the effect's count of held frames once a run has ended, however it ended.
    class HeldCopy {
    public:
        explicit HeldCopy(NativeConvolver& owner) : owner_(owner) {}
        HeldCopy(const HeldCopy&) = delete;
        HeldCopy& operator=(const HeldCopy&) = delete;
        ~HeldCopy() { owner_.held_frames_ = owner_.effect_->held_frames(); }

    private:
        NativeConvolver& owner_;
    };

    void check_runs() const {
        if (!effect_->has_state()) {
            throw py::value_error("a prototype convolver is not run; make one from it (fresh)");
        }
    }

    NativeConvolver(std::unique_ptr<ConvolutionEffect> effect, unsigned int workers)
        : effect_(std::move(effect)), workers_(effective_workers(workers)) {}

    std::unique_ptr<ConvolutionEffect> effect_;
    unsigned int workers_;
    std::size_t held_frames_ = 0;
    BusyFlag busy_{"convolution"};
};

class NativeReverb {
public:
    NativeReverb(int sample_rate, long long channels, float room_size, float damping,
                 float pre_delay_ms, float width, float mix) {
        check_sample_rate(sample_rate);
        const int count = checked_channel_count(channels);
        const auto rate = static_cast<float>(sample_rate);
        ReverbEffect::check_settings(room_size, damping, pre_delay_ms, width, mix);
        require_bytes(ReverbEffect::memory_bytes(rate, room_size, pre_delay_ms),
                      "reverb: the delay network at " + std::to_string(sample_rate) + " Hz");
        effect_ = std::make_unique<ReverbEffect>(rate, count, room_size, damping, pre_delay_ms,
                                                 width, mix);
    }

    py::array_t<float> process(const InputArray& chunk) {
        check_chunk(chunk, effect_->channels());
        const BusyGuard guard(busy_);
        const auto frames = static_cast<std::size_t>(chunk.shape(0));
        py::array_t<float> output = new_frames(
            frames, effect_->channels(),
            "reverb: the output of a chunk of " + shape_text(frames, effect_->channels()));
        const float* in = chunk.data();
        float* out = output.mutable_data();
        py::object keep = chunk;
        py::object made = output;
        run_with_lock_released([&] { effect_->process(in, out, frames); }, {&keep, &made});
        return output;
    }

    void reset() {
        const BusyGuard guard(busy_, /*recovers=*/true);
        effect_->reset();
    }

    [[nodiscard]] std::vector<std::size_t> lengths() const {
        return {effect_->lengths().begin(), effect_->lengths().end()};
    }
    [[nodiscard]] float decay_seconds() const { return effect_->decay_seconds(); }

private:
    std::unique_ptr<ReverbEffect> effect_;
    BusyFlag busy_{"reverb"};
};

}  // namespace

void add_rooms_bindings(py::module_& m) {
    unpicklable(
        py::class_<NativeConvolver>(m, "Convolver",
                                    "Uniformly partitioned convolution with an impulse response, "
                                    "fed chunk after chunk; whole partitions come out, the rest "
                                    "is held until more comes or flush()."))
        .def(py::init<const InputArray&, long long, const std::vector<std::tuple<int, int, int>>&,
                      float, bool, unsigned int, std::size_t, bool>(),
             py::arg("response"), py::arg("channels"), py::arg("paths"), py::arg("mix") = 1.0F,
             py::arg("normalize") = false, py::arg("workers") = 1U, py::arg("partition") = 0U,
             py::arg("prototype") = false)
        .def("process", &NativeConvolver::process, py::arg("chunk"),
             "Takes a (frames, channels) chunk and returns the output frames it completes.")
        .def("fresh", &NativeConvolver::fresh, py::arg("mix"), py::arg("workers") = 1U,
             "A new convolver with this one's response, not transformed again, and fresh state.")
        .def("run_whole", &NativeConvolver::run_whole, py::arg("chunk"),
             "process() and flush() in one: the output of every frame held and given.")
        .def("flush", &NativeConvolver::flush,
             "Ends the signal: returns the output of the frames held, and starts afresh.")
        .def("reset", &NativeConvolver::reset, "Drops what is held and starts afresh.")
        .def_property_readonly("held_frames", &NativeConvolver::held_frames)
        .def_property_readonly("partition", &NativeConvolver::partition)
        .def_property_readonly("response_gain", &NativeConvolver::response_gain);
    unpicklable(py::class_<NativeReverb>(m, "Reverb",
                                         "An eight-line feedback delay network reverb, fed "
                                         "chunk after chunk; each chunk's output comes out at "
                                         "once."))
        .def(py::init<int, long long, float, float, float, float, float>(), py::arg("sample_rate"),
             py::arg("channels"), py::arg("room_size"), py::arg("damping"), py::arg("pre_delay_ms"),
             py::arg("width"), py::arg("mix"))
        .def("process", &NativeReverb::process, py::arg("chunk"),
             "Runs a (frames, channels) chunk and returns its output.")
        .def("reset", &NativeReverb::reset, "Silences the lines: the reverb as new.")
        .def_property_readonly("lengths", &NativeReverb::lengths)
        .def_property_readonly("decay_seconds", &NativeReverb::decay_seconds);
}

}  // namespace kavri
