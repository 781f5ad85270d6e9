#include "effects/level/stereo.hpp"

#include <memory>

#include "effects/clamp.hpp"
#include "effects/level/pan_law.hpp"
#include "engine/block_walk.hpp"

namespace kavri {

namespace {

// Calls step(left, right) on channels 0 and 1 of every frame.
template <typename Step>
void map_stereo_pairs(float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, const Step& step) {
    const auto stride = static_cast<unsigned long long>(channels);
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        if (channels == 2) {
            // A stereo buffer is nothing but pairs: one flat loop with a constant stride,
            // which the compiler can take several frames at a time.
            float* __restrict pair = data + start * 2;
            for (unsigned long long i = 0; i < count; ++i) {
                step(pair[2 * i], pair[2 * i + 1]);
            }
            return;
        }
        float* frame = data + start * stride;
        for (unsigned long long i = 0; i < count; ++i, frame += stride) {
            step(frame[0], frame[1]);
        }
    });
}

}  // namespace

PanEffect::PanEffect(float position_value) : position(clamp_to(position_value, -1.0f, 1.0f)) {}

void PanEffect::process(float* data, unsigned long long frames, int channels,
                        unsigned long long block_size, unsigned int) {
    if (channels <= 1 || frames == 0) {
        return;
    }
    // Full right leaves cosf(pi/2), a tiny negative gain, on channel 0: it is kept, not zeroed.
    const PanGains gains = pan_gains(position);
    map_stereo_pairs(data, frames, channels, block_size, [&gains](float& left, float& right) {
        left = left * gains.left;
        right = right * gains.right;
    });
}

StereoWidthEffect::StereoWidthEffect(float width_value)
    : width(0.0f > width_value ? 0.0f : width_value) {}

void StereoWidthEffect::process(float* data, unsigned long long frames, int channels,
                                unsigned long long block_size, unsigned int) {
    if (channels <= 1 || frames == 0) {
        return;
    }
    const float w = width;
    // Width 1 is computed too, not skipped: the sum and difference round like any other.
    map_stereo_pairs(data, frames, channels, block_size, [w](float& left, float& right) {
        const float mid = (left + right) * 0.5f;
        const float side = ((left - right) * 0.5f) * w;
        left = mid + side;
        right = mid - side;
    });
}

PlannedEffect plan_pan_effect(const ParamReader& params, float, int) {
    const float position = params.read_float("position", 0.0f);
    return plan_effect<PanEffect>(EffectMemory{},
                                  [=] { return std::make_unique<PanEffect>(position); });
}

PlannedEffect plan_stereo_width_effect(const ParamReader& params, float, int) {
    const float width = params.read_float("width", 1.0f);
    return plan_effect<StereoWidthEffect>(
        EffectMemory{}, [=] { return std::make_unique<StereoWidthEffect>(width); });
}

}  // namespace kavri
