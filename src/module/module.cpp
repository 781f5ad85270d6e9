// The extension module: process_pipeline converts and checks its arguments, builds the effects
// and runs them over a new array holding the input, with the interpreter lock released.
#include <cstdint>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/effect.hpp"
#include "module/arguments.hpp"
#include "module/factory.hpp"
#include "module/input_array.hpp"
#include "module/interpreter.hpp"

namespace py = pybind11;

namespace {

py::array_t<float> process_pipeline(const kavri::InputArray& input, int sample_rate,
                                    const py::list& specs, unsigned long long block_size,
                                    unsigned int workers) {
    kavri::check_buffer_dimensions(input.ndim());
    kavri::check_sample_rate(sample_rate);
    const py::ssize_t frame_dim = input.shape(0);
    const py::ssize_t channel_dim = input.shape(1);
    const int channels = kavri::checked_channel_count(channel_dim);
    const unsigned long long effective_block_size = kavri::effective_block_size(block_size);
    const auto frames = static_cast<unsigned long long>(frame_dim);

    // Every spec is read, and the memory of the whole call sized and checked, before anything
    // large is allocated.
    const kavri::ByteCount samples =
        kavri::ByteCount::product(frames, static_cast<std::uint64_t>(channels));
    const kavri::ByteCount output_bytes =
        kavri::heap_block_bytes(kavri::ByteCount::product(samples.bytes(), sizeof(float)));
    const kavri::EffectPlan plan =
        kavri::plan_effects(specs, sample_rate, channels, output_bytes,
                            "the output buffer of " + kavri::shape_text(frames, channels));

    // The output's pages are not written until the copy, which runs with the lock released.
    py::array_t<float> output({frame_dim, channel_dim});
    const float* source = nullptr;
    float* data = nullptr;
    {
        // The arrays keep their data alive; the views are needed only to find it.
        const py::buffer_info input_view = input.request();
        const py::buffer_info output_view = output.request();
        source = static_cast<const float*>(input_view.ptr);
        data = static_cast<float*>(output_view.ptr);
    }

    // Allocating the effects' state, copying, running and freeing touch no Python object, so
    // other Python threads run meanwhile. The input is copied into the output, or read by a
    // first memoryless effect that writes the output in the same pass; it is never written.
    kavri::run_with_lock_released(
        [&] {
            kavri::EffectList effects;
            plan.build(effects);
            kavri::run_effects_from(effects, source, data, frames, channels, effective_block_size,
                                    workers);
            effects.clear();
        },
        {&output});
    return output;
}

}  // namespace

PYBIND11_MODULE(_kavri_core, m) {
    kavri::require_main_interpreter("_kavri_core");
    m.doc() = "Native DSP core for Kavri.";
    m.def("process_pipeline", &process_pipeline, py::arg("input"), py::arg("sample_rate"),
          py::arg("specs"), py::arg("block_size") = kavri::kDefaultBlockSize,
          py::arg("workers") = 1U);
}
