// The extension module: process_pipeline converts and checks its arguments, builds the effects
// and runs them over a new array holding the input, with the interpreter lock released.
#include <climits>
#include <stdexcept>

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

    py::array_t<float> output({frame_dim, channel_dim});
    const py::buffer_info input_view = input.request();
    const py::buffer_info output_view = output.request();
    auto* data = static_cast<float*>(output_view.ptr);
    const auto* source = static_cast<const float*>(input_view.ptr);

    kavri::EffectList effects;
    kavri::build_effect_list(specs, sample_rate, channels, effects);
    {
        // The input is copied into the output here, or read by a first memoryless effect
        // that writes the output in the same pass; it is never written.
        py::gil_scoped_release release;
        kavri::run_effects_from(effects, source, data, static_cast<unsigned long long>(frame_dim),
                                channels, effective_block_size, workers);
    }
    effects.clear();
    return output;
}

}  // namespace

PYBIND11_MODULE(_kavri_core, m) {
    m.doc() = "Native DSP core for Kavri.";
    m.def("process_pipeline", &process_pipeline, py::arg("input"), py::arg("sample_rate"),
          py::arg("specs"), py::arg("block_size") = kDefaultBlockSize, py::arg("workers") = 1U);
}
