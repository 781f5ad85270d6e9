// Static stereo placement on channels 0 (left) and 1 (right). A mono buffer is left alone
// and channels 2 and above are never touched.
//
// pan           places the sound with a constant-power law. "position": -1 full left, 0
//               centre (both channels at about -3 dB), 1 full right; clamped to [-1, 1],
//               default 0.
// stereo_width  scales the side (difference) signal against the mid (sum). "width": 0 folds
//               to mono, 1 keeps the image, above 1 widens it without limit; negative acts
//               as 0, default 1.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class PanEffect final : public Effect {
public:
    explicit PanEffect(float position_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float position;
};

class StereoWidthEffect final : public Effect {
public:
    explicit StereoWidthEffect(float width_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float width;
};

PlannedEffect plan_pan_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_stereo_width_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
