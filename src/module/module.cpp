// The extension module: process_pipeline converts and checks its arguments, copies the input
// into a new array, builds the effects and runs them with the interpreter lock released.
#include <cstring>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/effect.hpp"
#include "module/arguments.hpp"
#include "module/factory.hpp"

namespace py = pybind11;

namespace {

using InputArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

py::array_t<float> process_pipeline(const InputArray& input, int sample_rate,
                                    const py::list& specs, unsigned long long block_size,
                                    unsigned int workers) {
    kavri::check_buffer_dimensions(input.ndim());
    kavri::check_sample_rate(sample_rate);
    const py::ssize_t frame_dim = input.shape(0);
    const py::ssize_t channel_dim = input.shape(1);
    const int channels = kavri::checked_channel_count(channel_dim);
    const unsigned long long effective_block_size = kavri::effective_block_size(block_size);

    py::array_t<float> output({frame_dim, channel_dim});
    const py::buffer_info input_view = input.request();
    const py::buffer_info output_view = output.request();
    auto* data = static_cast<float*>(output_view.ptr);
    const auto sample_count = static_cast<std::size_t>(input_view.size);
    if (sample_count != 0) {
        std::memcpy(data, input_view.ptr, sample_count * sizeof(float));
    }

    kavri::EffectList effects;
    kavri::build_effect_list(specs, sample_rate, channels, effects);
    {
        py::gil_scoped_release release;
        kavri::run_effects(effects, data, static_cast<unsigned long long>(frame_dim), channels,
                           effective_block_size, workers);
    }
    effects.clear();
    return output;
}

}  // namespace

PYBIND11_MODULE(_kavri_core, m) {
    m.doc() = "Native DSP core for Kavri.";
    m.def("process_pipeline", &process_pipeline, py::arg("input"), py::arg("sample_rate"),
          py::arg("specs"), py::arg("block_size") = kavri::kDefaultBlockSize, py::arg("workers") = 1U);
}
