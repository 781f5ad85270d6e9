// Phaser: a chain of first-order all-pass stages whose break frequency a slow sine sweeps up
// and down; the chain's output is fed back into its input and blended with the dry signal.
// Every channel hears the same sweep.
//
// "stages"     number of all-pass stages, at least 1, default 4. More stages, more notches.
// "mix"        wet share in [0, 1], default 0.5. 0 is dry, 1 the chain alone.
// "feedback"   share of the chain's output fed back, in [-1, 1], default 0.2.
// "center_hz"  sweep reference, at least 80 Hz, default 900. The sweep runs from 0.35 times
//              it upwards, held within [80 Hz, 0.45 * sample rate].
// "depth"      sweep width in [0, 1], default 0.75. 0 holds the stages at 0.35 * center_hz.
// "rate_hz"    sweep speed, at least 0.01 Hz, default 0.35.
#pragma once

#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

class PhaserEffect final : public Effect {
public:
    // The memory of one all-pass stage: its previous input and previous output.
    struct AllpassStage {
        float x1 = 0.0f;
        float y1 = 0.0f;
    };

    // Takes the values as read; clamps them and sizes the state. Throws std::bad_alloc before
    // allocating when stages times channels could not fit in memory.
    PhaserEffect(float sample_rate, int stages, float mix, float feedback, float center_hz,
                 float depth, float rate_hz, int channels);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float sample_rate;
    float rate_hz;
    float depth;
    float center_hz;
    float feedback;
    float mix;
    std::vector<std::vector<AllpassStage>> allpass_state;
    std::vector<float> feedback_memory;
    int stages;
    unsigned long long frame_counter;
};

PlannedEffect plan_phaser_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
