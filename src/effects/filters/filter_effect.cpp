#include "effects/filters/filter_effect.hpp"

#include <cstdint>

#include "engine/block_walk.hpp"
#include "engine/parallel.hpp"
#include "engine/state_size.hpp"

namespace kavri {

namespace {

int stage_count_used(int stage_count) {
    return stage_count > 0 ? stage_count : 1;
}

}  // namespace

FilterEffect::FilterEffect(const BiquadCoefficients& coefficients, int stage_count, int channels)
    : b0(coefficients.b0),
      b1(coefficients.b1),
      b2(coefficients.b2),
      a1(coefficients.a1),
      a2(coefficients.a2),
      stages(stage_count_used(stage_count)) {
    const auto channel_count = static_cast<std::uint64_t>(channels < 0 ? 0 : channels);
    // A zeroed cascade that the system grants but cannot back with memory would end the
    // process when first touched; refuse it while nothing is allocated yet.
    require_state_fits(checked_count_product(static_cast<std::uint64_t>(stages), channel_count),
                       sizeof(BiquadState));
    const std::vector<BiquadState> zeroed(static_cast<std::size_t>(stages));
    stage_state.assign(static_cast<std::size_t>(channel_count), zeroed);
}

FilterEffect::~FilterEffect() = default;

void FilterEffect::process(float* data, unsigned long long frames, int channels,
                           unsigned long long block_size, unsigned int workers) {
    const BiquadCoefficients k{b0, b1, b2, a1, a2};
    const int section_count = stages;
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        const auto stride = static_cast<unsigned long long>(channels);
        for (int ch = first_channel; ch < last_channel; ++ch) {
            BiquadState* sections = stage_state[static_cast<std::size_t>(ch)].data();
            for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
                float* sample = data + start * stride + static_cast<unsigned long long>(ch);
                for (unsigned long long i = 0; i < count; ++i, sample += stride) {
                    float x = *sample;
                    for (int s = 0; s < section_count; ++s) {
                        x = run_biquad(k, sections[s], x);
                    }
                    *sample = x;
                }
            });
        }
    });
}

EffectPtr make_filter_effect(FilterKind kind, const ParamReader& params, float sample_rate,
                             int channels, float default_frequency_hz, float default_q) {
    const int stage_count = params.read_int("stages", 1);
    const float slope = params.read_float("slope", 1.0f);
    const float gain_db = params.read_float("gain_db", 0.0f);
    const float q = params.read_float("q", default_q);
    const float frequency_hz = params.read_float("frequency_hz", default_frequency_hz);
    const BiquadCoefficients coefficients =
        design_biquad(kind, frequency_hz, q, gain_db, slope, sample_rate);
    return std::make_unique<FilterEffect>(coefficients, stage_count, channels);
}

}  // namespace kavri
