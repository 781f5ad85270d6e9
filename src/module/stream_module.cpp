// The streaming extension module: a Stream builds a chain of effects once and runs chunk after
// chunk of one long signal through it, each with the interpreter lock released, the effects'
// state carried from chunk to chunk. Arguments are converted, checked and turned into effects
// exactly as for process_pipeline. Every call sizes what it will allocate (the float32 copy of
// a chunk of another type, a chunk's output, the frames its stages hold, the effects' scratch,
// a rebuilt chain) and refuses with MemoryError before allocating any of it.
//
// The module also gives the Python front end the engine's memory guard for its own buffers
// (check_memory), the engine's rule for how many workers a buffer can use (useful_workers),
// the true-peak meter's oversampling (TruePeak) and the level meter (LevelMeter), whose sums
// run with the lock released.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "effects/filters/sections_f64.hpp"
#include "engine/effect.hpp"
#include "engine/effect_plan.hpp"
#include "engine/level_meter.hpp"
#include "engine/memory_budget.hpp"
#include "engine/stream.hpp"
#include "engine/true_peak.hpp"
#include "engine/worker_pool.hpp"
#include "module/arguments.hpp"
#include "module/batch_binding.hpp"
#include "module/draw_binding.hpp"
#include "module/factory.hpp"
#include "module/input_array.hpp"
#include "module/interpreter.hpp"
#include "module/rooms_binding.hpp"

namespace py = pybind11;

namespace {

using kavri::BusyGuard;
using kavri::channel_count;
using kavri::check_idle;
using kavri::shape_text;

// "a chunk of 100 frames x 2 channels (its output 1.0 GiB, held frames 2.0 GiB)": what a
// run needs, part by part, for the guard's message.
std::string run_text(const std::string& what, const kavri::Stream::RunMemory& memory) {
    std::string parts;
    const auto part = [&](const char* name, kavri::ByteCount bytes) {
        if (bytes.bytes() != 0) {
            parts +=
                (parts.empty() ? "" : ", ") + std::string(name) + " " + kavri::format_bytes(bytes);
        }
    };
    part("its output", memory.output);
    part("frames held for whole blocks", memory.held);
    part("effect scratch", memory.scratch);
    return parts.empty() ? what : what + " (" + parts + ")";
}

class NativeStream {
public:
    NativeStream(const py::list& specs, int sample_rate, long long channels,
                 unsigned long long block_size, unsigned int workers)
        : sample_rate_(sample_rate) {
        kavri::check_sample_rate(sample_rate);
        const int channel_count = kavri::checked_channel_count(channels);
        stream_ =
            std::make_unique<kavri::Stream>(channel_count, kavri::effective_block_size(block_size),
                                            kavri::effective_workers(workers));
        const kavri::EffectPlan plan = plan_chain(specs, &specs_);
        kavri::run_with_lock_released([&] { stream_->rebuild(plan); });
    }

    py::array_t<float> process(const kavri::InputArray& chunk) {
        kavri::check_buffer_dimensions(chunk.ndim());
        const int channels = stream_->channels();
        if (chunk.shape(1) != channels) {
            throw py::value_error("chunk has " + channel_count(chunk.shape(1)) +
                                  ", the stream has " + channel_count(channels));
        }
        const BusyGuard guard(busy_);
        check_usable();
        const auto frames = static_cast<unsigned long long>(chunk.shape(0));
        const kavri::Stream::RunMemory memory = stream_->chunk_memory(frames);
        kavri::CallMemory guard_memory;
        kavri::require_memory(memory.total(),
                              run_text("a chunk of " + shape_text(frames, channels), memory),
                              guard_memory);
        py::array_t<float> output({static_cast<py::ssize_t>(stream_->released_by(frames)),
                                   static_cast<py::ssize_t>(channels)});
        const py::buffer_info chunk_view = chunk.request();
        const py::buffer_info output_view = output.request();
        // The chunk is read during the run, with the lock released, as process_pipeline reads
        // its input; `chunk` keeps it alive meanwhile.
        counted_run([&] {
            stream_->load(static_cast<const float*>(chunk_view.ptr), frames,
                          static_cast<float*>(output_view.ptr));
            run(output);
        });
        return output;
    }

    py::array_t<float> flush() {
        const BusyGuard guard(busy_);
        check_usable();
        const kavri::Stream::RunMemory memory = stream_->end_memory();
        kavri::CallMemory guard_memory;
        kavri::require_memory(
            memory.total(),
            run_text("the flush of " + shape_text(stream_->held_frames(), stream_->channels()),
                     memory),
            guard_memory);
        py::array_t<float> output({static_cast<py::ssize_t>(stream_->held_frames()),
                                   static_cast<py::ssize_t>(stream_->channels())});
        const py::buffer_info output_view = output.request();
        counted_run([&] {
            stream_->load_end(static_cast<float*>(output_view.ptr));
            run(output);
        });
        // The signal is complete and its last frames are in `output`: a chain that cannot be
        // built again does not take them away. The stream then refuses further use, saying
        // why, until a reset() succeeds.
        try {
            rebuild();
        } catch (const py::error_already_set& error) {
            failure_ = std::string(error.what());
            if (!error.matches(PyExc_Exception)) {
                throw;  // KeyboardInterrupt, SystemExit
            }
        } catch (const std::exception& error) {
            failure_ = error.what();
        }
        return output;
    }

    void reset() {
        const BusyGuard guard(busy_, /*recovers=*/true);
        try {
            rebuild();
        } catch (const py::error_already_set& error) {
            failure_ = std::string(error.what());
            throw;
        } catch (const std::exception& error) {
            failure_ = error.what();
            throw;
        }
    }

    int sample_rate() const { return sample_rate_; }
    int channels() const { return stream_->channels(); }
    unsigned long long block_size() const { return stream_->block_size(); }
    unsigned int workers() const { return stream_->workers(); }
    // Read from a copy kept with the lock held: the stream's own buffers may be changing in a
    // run on another thread.
    unsigned long long held_frames() const { return held_frames_; }
    unsigned long long runs() const { return runs_; }

private:
    // Plans the chain from the spec list exactly as process_pipeline does, with the frames a
    // stream holds in front of each effect that needs whole blocks counted as that effect's.
    // With `spec_copies`, a plain copy of each spec dict read is kept, so that the same chain
    // can be planned again for a reset whatever the caller does to its list or dicts later.
    kavri::EffectPlan plan_chain(const py::list& specs, py::list* spec_copies) const {
        const int channels = stream_->channels();
        const unsigned long long block_size = stream_->block_size();
        return kavri::plan_effects(
            specs, sample_rate_, channels, kavri::ByteCount(0), "the stream", spec_copies,
            kavri::Stream::held_bytes_between_runs(1, channels, block_size), block_size);
    }

    // A fresh chain from the effect dicts kept at construction. The old chain and its held
    // frames are freed first, and the new one planned against the memory that leaves, so that
    // the two never take memory together. On failure the stream is left without a chain.
    void rebuild() {
        kavri::run_with_lock_released([&] { stream_->drop_chain(); });
        held_frames_ = 0;
        failure_.clear();
        const kavri::EffectPlan plan = plan_chain(specs_, nullptr);
        kavri::run_with_lock_released([&] { stream_->rebuild(plan); });
    }

    void check_usable() const {
        if (!stream_->has_chain()) {
            throw std::runtime_error("stream could not build its chain again (" + failure_ +
                                     "); reset() it before further use");
        }
        if (stream_->needs_reset()) {
            throw std::runtime_error(
                "stream failed part-way through an earlier call; reset() it before further use");
        }
    }

    // Counts a run that changes the stream. One the engine refuses before changing anything
    // (its threads cannot start, its held buffers cannot grow) leaves the stream, and the
    // count, as they were, so that the call can be made again.
    template <typename Work>
    void counted_run(const Work& work) {
        ++runs_;
        try {
            work();
        } catch (...) {
            if (!stream_->needs_reset()) {
                --runs_;
            }
            throw;
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
    // Chunks and flushes that got past their checks and changed the stream's state.
    unsigned long long runs_ = 0;
    std::string failure_;
    kavri::BusyFlag busy_{"stream"};
};

// Refuses, in the guard's words, a buffer of `bytes` that the front end is about to allocate
// and that does not fit in what the process may use.
void check_memory(const py::int_& bytes, const std::string& what) {
    const py::int_ zero(0);
    if (PyObject_RichCompareBool(bytes.ptr(), zero.ptr(), Py_LT) == 1) {
        throw py::value_error("bytes must be 0 or more, got " + std::string(py::str(bytes)));
    }
    unsigned long long count = PyLong_AsUnsignedLongLong(bytes.ptr());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        count = kavri::ByteCount::kUnbounded;
    }
    kavri::CallMemory memory;
    kavri::require_memory(kavri::ByteCount(count), what, memory);
}

// Second-order sections in double precision over (frames, channels), in place, with their
// state (sections, 2, channels) carried in place too: scipy.signal.sosfilt(sos, x, axis=0,
// zi=state) with the same bits.
void filter_sections(const py::array& sos, py::array& x, py::array& state) {
    // Float64 and C-ordered as given, never a converted copy: x and state change in place.
    const auto usable = [](const py::array& a, bool written) {
        return py::isinstance<py::array_t<double, py::array::c_style>>(a) &&
               (!written || a.writeable());
    };
    if (sos.ndim() != 2 || sos.shape(1) != 6 || !usable(sos, false)) {
        throw py::value_error("sos must be a C-ordered (sections, 6) float64 array");
    }
    if (x.ndim() != 2 || !usable(x, true)) {
        throw py::value_error("x must be a writeable, C-ordered (frames, channels) float64 array");
    }
    const auto sections = static_cast<std::size_t>(sos.shape(0));
    const auto frames = static_cast<std::size_t>(x.shape(0));
    const auto channels = static_cast<std::size_t>(x.shape(1));
    if (state.ndim() != 3 || static_cast<std::size_t>(state.shape(0)) != sections ||
        state.shape(1) != 2 || static_cast<std::size_t>(state.shape(2)) != channels ||
        !usable(state, true)) {
        throw py::value_error(
            "state must be a writeable, C-ordered (sections, 2, channels) float64 array");
    }
    const auto* coefficients = static_cast<const double*>(sos.data());
    auto* samples = static_cast<double*>(x.mutable_data());
    auto* delays = static_cast<double*>(state.mutable_data());
    py::object keep_sos = sos;
    py::object keep_x = x;
    py::object keep_state = state;
    kavri::run_with_lock_released(
        [&] { kavri::filter_sections(coefficients, sections, samples, frames, channels, delays); },
        {&keep_sos, &keep_x, &keep_state});
}

unsigned int useful_workers(int channels, unsigned long long frames, unsigned int workers) {
    if (channels < 1) {
        throw py::value_error("channels must be at least 1, got " + std::to_string(channels));
    }
    return kavri::useful_workers(channels, frames, kavri::effective_workers(workers));
}

// The true peak of each channel of a signal fed in chunks of (channels, frames) float32 rows.
class NativeTruePeak {
public:
    NativeTruePeak(std::size_t channels, const std::vector<float>& first,
                   const std::vector<float>& second)
        : meter_(planned_channels(channels, first, second), first, second) {}

    void add(const py::array_t<float, py::array::c_style | py::array::forcecast>& rows) {
        if (rows.ndim() != 2 || static_cast<std::size_t>(rows.shape(0)) != meter_.channels()) {
            throw py::value_error("expected (" + std::to_string(meter_.channels()) +
                                  ", frames) rows");
        }
        const float* data = rows.data();
        const auto frames = static_cast<std::size_t>(rows.shape(1));
        py::object keep = rows;
        const BusyGuard guard(busy_);
        kavri::run_with_lock_released([&] { meter_.add(data, frames, frames); }, {&keep});
    }

    [[nodiscard]] std::vector<double> peaks() const {
        check_idle(busy_);
        return meter_.peaks();
    }

private:
    // The channel count, checked, once the memory guard has granted what the meter will
    // hold (a million channels took 370 MiB unasked, and grew on their first add).
    static std::size_t planned_channels(std::size_t channels, const std::vector<float>& first,
                                        const std::vector<float>& second) {
        if (channels < 1) {
            throw py::value_error("a true-peak meter needs at least one channel");
        }
        kavri::CallMemory memory;
        kavri::require_memory(
            kavri::TruePeakMeter::fixed_bytes(channels, first.size(), second.size()),
            "a true-peak meter of " + std::to_string(channels) + " channels", memory);
        return channels;
    }

    kavri::TruePeakMeter meter_;
    kavri::BusyFlag busy_{"meter", "make a new one"};
};

// The levels of a signal fed in chunks of (frames, channels) float32 or float64 samples (see
// engine/level_meter.hpp); each chunk is walked with the lock released.
class NativeLevelMeter {
public:
    NativeLevelMeter(std::size_t channels, double sample_rate, std::vector<double> kweighting,
                     double clip_level, std::vector<float> first, std::vector<float> second,
                     std::uint64_t first_frame) {
        if (channels < 1) {
            throw py::value_error("a level meter needs at least one channel");
        }
        kavri::LevelMeterSettings settings;
        settings.channels = channels;
        settings.sample_rate = sample_rate;
        settings.kweighting = std::move(kweighting);
        settings.clip_level = clip_level;
        settings.first = std::move(first);
        settings.second = std::move(second);
        settings.first_frame = first_frame;
        kavri::CallMemory memory;
        kavri::require_memory(kavri::LevelMeter::fixed_bytes(settings), "a level meter", memory);
        channels_ = settings.channels;
        meter_ = std::make_unique<kavri::LevelMeter>(std::move(settings));
    }

    void add(const py::array& chunk) {
        if (chunk.ndim() != 2 || static_cast<std::size_t>(chunk.shape(1)) != channels()) {
            throw py::value_error("expected (frames, " + std::to_string(channels()) + ") samples");
        }
        const auto frames = static_cast<std::size_t>(chunk.shape(0));
        // Held first: the growth reads the blocks that another thread's add() grows.
        const BusyGuard guard(busy_);
        kavri::CallMemory memory;
        kavri::require_memory(
            meter_->growth_bytes(frames),
            "the level meter's blocks of " + shape_text(frames, static_cast<int>(channels())),
            memory);
        if (py::isinstance<py::array_t<double>>(chunk)) {
            walk(py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(chunk));
        } else {
            walk(py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(chunk));
        }
    }

    // The readers below refuse while another thread's add() runs (it grows the blocks and
    // segments they copy); channels() reads a size fixed at construction.
    [[nodiscard]] std::size_t channels() const { return channels_; }
    [[nodiscard]] std::uint64_t frames() const {
        check_idle(busy_);
        return meter_->frames();
    }
    [[nodiscard]] std::vector<double> sample_peaks() const {
        check_idle(busy_);
        return meter_->sample_peaks();
    }
    [[nodiscard]] std::vector<double> squares() const {
        check_idle(busy_);
        return meter_->squares();
    }
    [[nodiscard]] std::vector<double> true_peaks() const {
        check_idle(busy_);
        return meter_->true_peaks();
    }
    [[nodiscard]] py::tuple counts() const {
        check_idle(busy_);
        return py::make_tuple(meter_->clipped(), meter_->nans(), meter_->infinities());
    }
    [[nodiscard]] py::tuple blocks() const {
        check_idle(busy_);
        return py::make_tuple(meter_->first_block(), rows(meter_->block_sums()));
    }
    [[nodiscard]] py::tuple segments() const {
        check_idle(busy_);
        return py::make_tuple(meter_->first_segment(), rows(meter_->segment_sums()),
                              rows(meter_->segment_peaks()));
    }

private:
    template <typename Sample>
    void walk(const py::array_t<Sample, py::array::c_style | py::array::forcecast>& chunk) {
        if (!chunk) {
            throw py::error_already_set();
        }
        const Sample* data = chunk.data();
        const auto frames = static_cast<std::size_t>(chunk.shape(0));
        py::object keep = chunk;
        kavri::run_with_lock_released([&] { meter_->add(data, frames); }, {&keep});
    }

    [[nodiscard]] py::array_t<double> rows(const std::vector<double>& values) const {
        const std::size_t width = channels();
        py::array_t<double> out(
            {static_cast<py::ssize_t>(values.size() / width), static_cast<py::ssize_t>(width)});
        std::copy(values.begin(), values.end(), out.mutable_data());
        return out;
    }

    std::unique_ptr<kavri::LevelMeter> meter_;
    std::size_t channels_ = 0;
    kavri::BusyFlag busy_{"meter", "make a new one"};
};

}  // namespace

PYBIND11_MODULE(_kavri_stream, m) {
    kavri::require_main_interpreter("_kavri_stream");
    m.doc() = "Native streaming DSP for Kavri.";
    kavri::unpicklable(
        py::class_<NativeStream>(m, "Stream",
                                 "An effect chain run over a long signal chunk by chunk, its state "
                                 "carried from each chunk to the next."))
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
                               "Frames taken in but not yet released; flush() returns them.")
        .def_property_readonly(
            "runs", &NativeStream::runs,
            "How many chunks and flushes have run since the stream was made. A call refused "
            "before it changed anything leaves the count as it was; one whose result was lost "
            "after it ran (an exception raised by a signal handler as it returned) does not.");
    kavri::unpicklable(
        py::class_<NativeTruePeak>(m, "TruePeak",
                                   "The true peak of each channel of a signal fed in chunks, "
                                   "oversampled four times by two half-band stages."))
        .def(py::init<std::size_t, const std::vector<float>&, const std::vector<float>&>(),
             py::arg("channels"), py::arg("first"), py::arg("second"))
        .def("add", &NativeTruePeak::add, py::arg("rows"),
             "Feeds the next frames as (channels, frames) float32 rows.")
        .def("peaks", &NativeTruePeak::peaks,
             "The true peak of each channel so far, the signal followed by silence.");
    kavri::unpicklable(py::class_<NativeLevelMeter>(
                           m, "LevelMeter",
                           "The levels of a signal fed in chunks: peaks, squares, counts, "
                           "true peak and the K-weighted sums of gating blocks and 100 ms "
                           "segments."))
        .def(py::init<std::size_t, double, std::vector<double>, double, std::vector<float>,
                      std::vector<float>, std::uint64_t>(),
             py::arg("channels"), py::arg("sample_rate"), py::arg("kweighting"),
             py::arg("clip_level"), py::arg("first"), py::arg("second"), py::arg("first_frame") = 0)
        .def("add", &NativeLevelMeter::add, py::arg("chunk"),
             "Feeds the next frames, a (frames, channels) float32 or float64 array.")
        .def_property_readonly("frames", &NativeLevelMeter::frames)
        .def("sample_peaks", &NativeLevelMeter::sample_peaks,
             "The highest magnitude of each channel.")
        .def("squares", &NativeLevelMeter::squares, "The sum of squares of each channel.")
        .def("true_peaks", &NativeLevelMeter::true_peaks,
             "The true peak of each channel, the signal followed by silence; empty without one.")
        .def("counts", &NativeLevelMeter::counts,
             "(clipped, NaN, infinite) samples over all channels.")
        .def("blocks", &NativeLevelMeter::blocks,
             "(index of the first gating block, (blocks, channels) K-weighted sums of squares "
             "of every block begun, the open ones with what they hold).")
        .def("segments", &NativeLevelMeter::segments,
             "(index of the first 100 ms segment, (segments, channels) K-weighted sums of "
             "squares and sample peaks of every finished segment).");
    m.def("check_memory", &check_memory, py::arg("bytes"), py::arg("what"),
          "Raises MemoryError (\"{what} needs 3.6 GiB; about 1.0 GiB is available\") when a "
          "buffer of `bytes` bytes does not fit in what the process may still use, by the same "
          "guard as the engine's calls; cheap for small sizes.");
    kavri::add_batch_bindings(m);
    kavri::add_draw_bindings(m);
    kavri::add_rooms_bindings(m);
    m.def("filter_sections", &filter_sections, py::arg("sos"), py::arg("x"), py::arg("state"),
          "Second-order sections (sections, 6) in double precision over a (frames, channels) "
          "float64 array in place, their (sections, 2, channels) state carried in place: "
          "scipy.signal.sosfilt(sos, x, axis=0, zi=state) with the same bits.");
    m.def("useful_workers", &useful_workers, py::arg("channels"), py::arg("frames"),
          py::arg("workers"),
          "How many of `workers` threads are worth using on a (frames, channels) buffer: whole "
          "channel groups (four, two, one) per worker, and one worker for a buffer too small "
          "for a thread to pay off.");
}
