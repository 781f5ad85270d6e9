// The streaming extension module: a Stream builds a chain of effects once and runs chunk after
// chunk of one long signal through it, each with the interpreter lock released, the effects'
// state carried from chunk to chunk. Arguments are converted, checked and turned into effects
// exactly as for process_pipeline.
#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <stdexcept>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/effect.hpp"
#include "engine/stream.hpp"
#include "module/arguments.hpp"
#include "module/factory.hpp"
#include "module/interpreter.hpp"

namespace py = pybind11;

namespace {

using InputArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// Plans the chain from the spec list exactly as process_pipeline does, its memory checked
// beside the frames a stream may hold back (a block per channel), then builds its effects with
// the interpreter lock released. With `spec_copies`, a plain copy of each spec dict read is
// kept, so that the same chain can be built again for a reset whatever the caller does to its
// list or dicts later. This is the stream's one use of the effect factory.
kavri::EffectList build_chain(const py::list& specs, int sample_rate, int channels,
                              unsigned long long block_size, py::list* spec_copies) {
    const kavri::ByteCount held_bytes = kavri::heap_block_bytes(kavri::ByteCount::product(
        kavri::ByteCount::product(block_size, static_cast<std::uint64_t>(channels)).bytes(),
        sizeof(float)));
    const kavri::EffectPlan plan = kavri::plan_effects(
        specs, sample_rate, channels, held_bytes,
        "a held block of " + std::to_string(block_size) + " frames x " + std::to_string(channels) +
            " channels",
        spec_copies);
    kavri::EffectList effects;
    kavri::run_with_lock_released([&] { plan.build(effects); });
    return effects;
}

// Marks a stream busy for one call. Both the flag and the check are touched only with the
// interpreter lock held, so two Python threads can never both pass the check.
class BusyGuard {
public:
    explicit BusyGuard(bool& busy) : busy_(busy) {
        if (busy_) {
            throw std::runtime_error("stream is in use by another thread");
        }
        busy_ = true;
    }
    BusyGuard(const BusyGuard&) = delete;
    BusyGuard& operator=(const BusyGuard&) = delete;
    ~BusyGuard() { busy_ = false; }

private:
    bool& busy_;
};

class NativeStream {
public:
    NativeStream(const py::list& specs, int sample_rate, long long channels,
                 unsigned long long block_size, unsigned int workers)
        : sample_rate_(sample_rate) {
        kavri::check_sample_rate(sample_rate);
        const int channel_count = kavri::checked_channel_count(channels);
        kavri::EffectList effects = build_chain(specs, sample_rate, channel_count,
                                                kavri::effective_block_size(block_size), &specs_);
        stream_ = std::make_unique<kavri::Stream>(std::move(effects), channel_count,
                                                  kavri::effective_block_size(block_size),
                                                  kavri::effective_workers(workers));
    }

    py::array_t<float> process(const InputArray& chunk) {
        kavri::check_buffer_dimensions(chunk.ndim());
        const int channels = stream_->channels();
        if (chunk.shape(1) != channels) {
            throw py::value_error("chunk has " + std::to_string(chunk.shape(1)) +
                                  " channels, the stream has " + std::to_string(channels));
        }
        const BusyGuard guard(busy_);
        check_usable();
        const auto frames = static_cast<unsigned long long>(chunk.shape(0));
        py::array_t<float> output(
            {static_cast<py::ssize_t>(stream_->released_by(frames)), static_cast<py::ssize_t>(channels)});
        const py::buffer_info chunk_view = chunk.request();
        const py::buffer_info output_view = output.request();
        // The chunk is copied in here, with the lock held, so that no Python thread can change
        // it under the run.
        stream_->load(static_cast<const float*>(chunk_view.ptr), frames,
                      static_cast<float*>(output_view.ptr));
        run(output);
        return output;
    }

    py::array_t<float> flush() {
        const BusyGuard guard(busy_);
        check_usable();
        // The fresh chain is built first: if that fails, the stream is left as it was.
        kavri::EffectList fresh =
            build_chain(specs_, sample_rate_, stream_->channels(), stream_->block_size(), nullptr);
        py::array_t<float> output({static_cast<py::ssize_t>(stream_->held_frames()),
                                   static_cast<py::ssize_t>(stream_->channels())});
        const py::buffer_info output_view = output.request();
        stream_->load_end(static_cast<float*>(output_view.ptr));
        run(output);
        stream_->reset(std::move(fresh));
        held_frames_ = 0;
        return output;
    }

    void reset() {
        const BusyGuard guard(busy_);
        stream_->reset(
            build_chain(specs_, sample_rate_, stream_->channels(), stream_->block_size(), nullptr));
        held_frames_ = 0;
    }

    int sample_rate() const { return sample_rate_; }
    int channels() const { return stream_->channels(); }
    unsigned long long block_size() const { return stream_->block_size(); }
    unsigned int workers() const { return stream_->workers(); }
    // Read from a copy kept with the lock held: the stream's own buffers may be changing in a
    // run on another thread.
    unsigned long long held_frames() const { return held_frames_; }

private:
    void check_usable() const {
        if (stream_->needs_reset()) {
            throw std::runtime_error(
                "stream failed part-way through an earlier call; reset() it before further use");
        }
    }

    // The output array is let go of unreferenced if the interpreter ends this thread meanwhile.
    void run(py::object& output) {
        kavri::run_with_lock_released([&] { stream_->run(); }, {&output});
        held_frames_ = stream_->held_frames();
    }

    py::list specs_;
    int sample_rate_;
    std::unique_ptr<kavri::Stream> stream_;
    unsigned long long held_frames_ = 0;
    bool busy_ = false;
};

}  // namespace

PYBIND11_MODULE(_kavri_stream, m) {
    kavri::require_main_interpreter("_kavri_stream");
    m.doc() = "Native streaming DSP for Kavri.";
    py::class_<NativeStream>(m, "Stream",
                             "An effect chain run over a long signal chunk by chunk, its state "
                             "carried from each chunk to the next.")
        .def(py::init<const py::list&, int, long long, unsigned long long, unsigned int>(),
             py::arg("specs"), py::arg("sample_rate"), py::arg("channels"),
             py::arg("block_size") = kavri::kDefaultBlockSize, py::arg("workers") = 1U)
        .def("process", &NativeStream::process, py::arg("chunk"),
             "Runs a (frames, channels) chunk through the chain and returns the frames it "
             "releases as a new float32 array.")
        .def("flush", &NativeStream::flush,
             "Ends the signal: returns every frame still held back and leaves the stream fresh.")
        .def("reset", &NativeStream::reset,
             "Drops every held frame and returns the stream to its freshly built state.")
        .def_property_readonly("sample_rate", &NativeStream::sample_rate)
        .def_property_readonly("channels", &NativeStream::channels)
        .def_property_readonly("block_size", &NativeStream::block_size)
        .def_property_readonly("workers", &NativeStream::workers)
        .def_property_readonly("held_frames", &NativeStream::held_frames,
                               "Frames taken in but not yet released; flush() returns them.");
}
