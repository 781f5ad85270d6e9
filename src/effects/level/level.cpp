#include "effects/level/level.hpp"

#include <cmath>

#include "effects/dynamics/envelope.hpp"
#include "engine/channel_walk.hpp"

namespace kavri {

GainEffect::GainEffect(float db) : linear_gain(db_to_gain(db)) {}

void GainEffect::process(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers) {
    const float g = linear_gain;
    map_channel_samples(data, frames, channels, block_size, workers,
                        [g](float x) { return x * g; });
}

ClipEffect::ClipEffect(float threshold_value) {
    float t = std::fabs(threshold_value);
    if (0.0001f > t) {
        t = 0.0001f;
    }
    threshold = t;
}

void ClipEffect::process(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers) {
    const float t = threshold;
    // Two strict comparisons: a sample at +/- t stays, and a NaN fails both and passes.
    map_channel_samples(data, frames, channels, block_size, workers, [t](float x) {
        if (-t > x) {
            x = -t;
        }
        if (t < x) {
            x = t;
        }
        return x;
    });
}

DistortionEffect::DistortionEffect(float drive_value) {
    float d = drive_value;
    if (0.01f > d) {
        d = 0.01f;
    }
    drive = d;
    const float m = 1.0f > d ? 1.0f : d;
    normaliser = std::tanh(m);
}

void DistortionEffect::process(float* data, unsigned long long frames, int channels,
                               unsigned long long block_size, unsigned int workers) {
    const float d = drive;
    const float n = normaliser;
    map_channel_samples(data, frames, channels, block_size, workers,
                        [d, n](float x) { return std::tanh(x * d) / n; });
}

EffectPtr make_gain_effect(const ParamReader& params, float, int) {
    const float db = params.read_float("db", 0.0f);
    return std::make_unique<GainEffect>(db);
}

EffectPtr make_clip_effect(const ParamReader& params, float, int) {
    const float threshold = params.read_float("threshold", 0.98f);
    return std::make_unique<ClipEffect>(threshold);
}

EffectPtr make_distortion_effect(const ParamReader& params, float, int) {
    const float drive = params.read_float("drive", 2.0f);
    return std::make_unique<DistortionEffect>(drive);
}

}  // namespace kavri
