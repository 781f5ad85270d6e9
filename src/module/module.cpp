// The extension module: process_pipeline converts and checks its arguments, copies the input
// into a new array, builds the effects and runs them with the interpreter lock released.
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/effect.hpp"
#include "module/factory.hpp"

namespace py = pybind11;

namespace {

using InputArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

constexpr unsigned long long kDefaultBlockSize = 2048;

py::array_t<float> process_pipeline(const InputArray& input, int sample_rate,
                                    const py::list& specs, unsigned long long block_size,
                                    unsigned int workers) {
    if (input.ndim() != 2) {
        throw std::runtime_error("Audio buffers must have exactly 2 dimensions: (frames, channels).");
    }
    if (sample_rate <= 0) {
        throw std::runtime_error("sample_rate must be positive.");
    }
    const py::ssize_t frame_dim = input.shape(0);
    const py::ssize_t channel_dim = input.shape(1);
    // Channels are counted in a signed 32-bit int; a wider buffer cannot be described.
    if (channel_dim > INT_MAX) {
        throw std::runtime_error("Audio buffers must have at most 2147483647 channels.");
    }
    const int channels = static_cast<int>(channel_dim);
    if (channels <= 0) {
        throw std::runtime_error("Audio buffers must have at least one channel.");
    }
    const unsigned long long effective_block_size = block_size != 0 ? block_size : kDefaultBlockSize;
    const auto frames = static_cast<unsigned long long>(frame_dim);

    // Every spec is read, and the memory of the whole call sized and checked, before anything
    // large is allocated.
    const kavri::ByteCount samples = kavri::ByteCount::product(frames, static_cast<std::uint64_t>(channels));
    const kavri::ByteCount output_bytes =
        kavri::heap_block_bytes(kavri::ByteCount::product(samples.bytes(), sizeof(float)));
    const kavri::EffectPlan plan = kavri::plan_effects(
        specs, sample_rate, channels, output_bytes,
        "the output buffer of " + std::to_string(frames) + " frames x " + std::to_string(channels) +
            " channels");

    // The output's pages are not written until the copy, which runs with the lock released.
    py::array_t<float> output({frame_dim, channel_dim});
    const float* source = nullptr;
    float* data = nullptr;
    std::size_t sample_count = 0;
    {
        // The arrays keep their data alive; the views are needed only to find it.
        const py::buffer_info input_view = input.request();
        const py::buffer_info output_view = output.request();
        source = static_cast<const float*>(input_view.ptr);
        data = static_cast<float*>(output_view.ptr);
        sample_count = static_cast<std::size_t>(input_view.size);
    }

    // Allocating the effects' state, copying, running and freeing touch no Python object, so
    // other Python threads run meanwhile. The lock is released and re-taken by hand rather
    // than by a guard object: re-taking it while the interpreter shuts down ends a daemon
    // thread by unwinding its stack, which a guard's destructor (implicitly noexcept) would
    // turn into std::terminate. Here the unwind passes through ordinary code.
    std::exception_ptr failure;
    PyThreadState* const thread_state = PyEval_SaveThread();
    try {
        if (sample_count != 0) {
            std::memcpy(data, source, sample_count * sizeof(float));
        }
        kavri::EffectList effects;
        plan.build(effects);
        kavri::run_effects(effects, data, frames, channels, effective_block_size, workers);
        effects.clear();
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        failure = std::current_exception();
    }
#ifdef __GLIBCXX__
    try {
        PyEval_RestoreThread(thread_state);
    } catch (abi::__forced_unwind&) {
        // The thread is being ended without the lock: dropping the output array now would
        // touch the interpreter, so its reference is left behind with the dying thread.
        output.release();
        throw;
    }
#else
    PyEval_RestoreThread(thread_state);
#endif
    if (failure) {
        std::rethrow_exception(failure);
    }
    return output;
}

}  // namespace

PYBIND11_MODULE(_kavri_core, m) {
    // The module keeps no per-interpreter state and shares the binding library's with the
    // main interpreter only. A legacy sub-interpreter (one that shares the main one's lock)
    // would load it all the same, so it is refused here.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        throw py::import_error("_kavri_core does not support loading in subinterpreters; "
                               "import it in the main interpreter.");
    }
    m.doc() = "Native DSP core for Kavri.";
    m.def("process_pipeline", &process_pipeline, py::arg("input"), py::arg("sample_rate"),
          py::arg("specs"), py::arg("block_size") = kDefaultBlockSize, py::arg("workers") = 1U);
}
