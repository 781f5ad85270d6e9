#include "effects/level/level.hpp"

#include <cmath>
#include <cstddef>

#include "effects/clamp.hpp"
#include "effects/dynamics/envelope.hpp"
#include "engine/channel_walk.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

GainEffect::GainEffect(float db) : linear_gain(db_to_gain(db)) {}

void GainEffect::process(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers) {
    const float g = linear_gain;
    map_channel_samples(data, frames, channels, block_size, workers,
                        [g](float x) { return x * g; });
}

bool GainEffect::process_from(const float* source, float* data, unsigned long long frames,
                              int channels, unsigned long long block_size, unsigned int workers) {
    const float g = linear_gain;
    map_channel_samples_from(source, data, frames, channels, block_size, workers,
                             [g](float x) { return x * g; });
    return true;
}

bool GainEffect::lane_params(int, LaneParams& out) {
    out.kind = LaneKind::gain;
    out.value[0] = linear_gain;
    return true;
}

ClipEffect::ClipEffect(float threshold_value) {
    threshold = at_least(std::fabs(threshold_value), 0.0001f);
}

namespace {

// Two strict comparisons: a sample at +/- t stays, and a NaN fails both and passes.
struct ClipStep {
    float t;
    float operator()(float x) const {
        if (-t > x) {
            x = -t;
        }
        if (t < x) {
            x = t;
        }
        return x;
    }
};

}  // namespace

void ClipEffect::process(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers) {
    map_channel_samples(data, frames, channels, block_size, workers, ClipStep{threshold});
}

bool ClipEffect::process_from(const float* source, float* data, unsigned long long frames,
                              int channels, unsigned long long block_size, unsigned int workers) {
    map_channel_samples_from(source, data, frames, channels, block_size, workers,
                             ClipStep{threshold});
    return true;
}

bool ClipEffect::lane_params(int, LaneParams& out) {
    out.kind = LaneKind::clip;
    out.value[0] = threshold;
    return true;
}

DistortionEffect::DistortionEffect(float drive_value)
    : drive(at_least(drive_value, 0.01f)), normaliser(std::tanh(at_least(drive, 1.0f))) {}

void DistortionEffect::process(float* data, unsigned long long frames, int channels,
                               unsigned long long block_size, unsigned int workers) {
    const float d = drive;
    const float n = normaliser;
    // tanh(x * drive) / normaliser, in three passes over each run so that the library's
    // tanhf can be taken a vector at a time (vecmath::tanhf_array gives its exact bits).
    map_channel_runs(data, frames, channels, block_size, workers,
                     [d, n](float* x, std::size_t count) {
                         for (std::size_t i = 0; i < count; ++i) {
                             x[i] = x[i] * d;
                         }
                         vecmath::tanhf_array(x, x, count);
                         for (std::size_t i = 0; i < count; ++i) {
                             x[i] = x[i] / n;
                         }
                     });
}

bool DistortionEffect::lane_params(int, LaneParams& out) {
    out.kind = LaneKind::distortion;
    out.value[0] = drive;
    out.value[1] = normaliser;
    return true;
}

PlannedEffect plan_gain_effect(const ParamReader& params, float, int) {
    const float db = params.read_float("db", 0.0f);
    return plan_effect<GainEffect>(
        EffectMemory{}, [=] { return std::make_unique<GainEffect>(db); }, LaneKind::gain);
}

PlannedEffect plan_clip_effect(const ParamReader& params, float, int) {
    const float threshold = params.read_float("threshold", 0.98f);
    return plan_effect<ClipEffect>(
        EffectMemory{}, [=] { return std::make_unique<ClipEffect>(threshold); }, LaneKind::clip);
}

PlannedEffect plan_distortion_effect(const ParamReader& params, float, int) {
    const float drive = params.read_float("drive", 2.0f);
    return plan_effect<DistortionEffect>(
        EffectMemory{}, [=] { return std::make_unique<DistortionEffect>(drive); },
        LaneKind::distortion);
}

}  // namespace kavri
