#include "effects/filters/phaser.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "engine/state_size.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

PhaserEffect::PhaserEffect(float sample_rate_value, int stages_value, float mix_value,
                           float feedback_value, float center_hz_value, float depth_value,
                           float rate_hz_value, int channels)
    : sample_rate(sample_rate_value),
      rate_hz(at_least(rate_hz_value, kSlowestLfoHz)),
      depth(clamp_to(depth_value, 0.0f, 1.0f)),
      center_hz(at_least(center_hz_value, 80.0f)),
      feedback(clamp_to(feedback_value, -1.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      stages(stages_value > 0 ? stages_value : 1),
      frame_counter(0) {
    // "stages" has no upper bound, so a large value times many channels can ask for more
    // state than the machine holds: refuse it before any of it is allocated.
    const auto channel_count = static_cast<std::uint64_t>(channels);
    require_state_fits(checked_count_product(static_cast<std::uint64_t>(stages), channel_count),
                       sizeof(AllpassStage));
    // Each chain is made in place: copies of one prototype chain would hold one chain too
    // many while they are made.
    allpass_state.reserve(static_cast<std::size_t>(channel_count));
    for (std::uint64_t k = 0; k < channel_count; ++k) {
        allpass_state.emplace_back(static_cast<std::size_t>(stages));
    }
    feedback_memory.assign(static_cast<std::size_t>(channel_count), 0.0f);
}

namespace {

// Frames whose coefficients are worked out together, ahead of the chains.
constexpr unsigned long long kSweepChunk = 64;

// The shared sweep: the all-pass coefficient u of each frame.
struct Sweep {
    float sample_rate;
    float angular_rate;
    float width;  // depth x 1.65: the share of the centre the sweep spans above its floor
    float center_hz;
    float hi;

    // u[i] for frames n0 .. n0 + count - 1 (count at most kSweepChunk), recomputed from the
    // frame count so that no rounding adds up (the angle is never wrapped, so its own rounding
    // grows with the time). The sines and tangents of the chunk are taken by
    // the vector math, which gives the library's bits.
    void coefficients(unsigned long long n0, unsigned long long count, float* u) const {
        float angle[kSweepChunk];
        float m[kSweepChunk];
        const auto n = static_cast<std::size_t>(count);
        for (std::size_t i = 0; i < n; ++i) {
            angle[i] = (static_cast<float>(n0 + i) / sample_rate) * angular_rate;
        }
        vecmath::sinf_array(angle, m, n);
        for (std::size_t i = 0; i < n; ++i) {
            const float s = m[i];
            float fc = (width * ((s + 1.0f) * 0.5f) + 0.35f) * center_hz;
            if (fc < 80.0f) {
                fc = 80.0f;
            }
            if (hi < fc) {
                fc = hi;
            }
            angle[i] = fc * kPi / sample_rate;
        }
        vecmath::tanf_array(angle, m, n);
        for (std::size_t i = 0; i < n; ++i) {
            float denominator = 1.0f + m[i];
            if (denominator < 0.000001f) {
                denominator = 0.000001f;
            }
            u[i] = (1.0f - m[i]) / denominator;
        }
    }
};

// Walks frames [0, frames) of the call, frame_counter being n0, calling
// run(first_frame, count, u) with u[i] the coefficient of frame first_frame + i, a chunk of
// coefficients at a time.
template <typename Run>
void walk_with_sweep(const Sweep& sweep, unsigned long long n0, unsigned long long frames,
                     Run&& run) {
    float u[kSweepChunk];
    for (unsigned long long done = 0; done < frames;) {
        const unsigned long long count = frames - done < kSweepChunk ? frames - done : kSweepChunk;
        sweep.coefficients(n0 + done, count, u);
        run(done, count, u);
        done += count;
    }
}

// The chains for a stage and channel count known at compile time, their state held in locals
// for the whole call so the feedback path does not go through the effect's vectors.
template <int Stages, int Channels>
struct FixedChains {
    float x1[Channels][Stages];
    float y1[Channels][Stages];
    float memory[Channels];

    explicit FixedChains(const PhaserEffect& effect) {
        for (int k = 0; k < Channels; ++k) {
            const auto& chain = effect.allpass_state[static_cast<std::size_t>(k)];
            for (int j = 0; j < Stages; ++j) {
                x1[k][j] = chain[static_cast<std::size_t>(j)].x1;
                y1[k][j] = chain[static_cast<std::size_t>(j)].y1;
            }
            memory[k] = effect.feedback_memory[static_cast<std::size_t>(k)];
        }
    }

    void store(PhaserEffect& effect) const {
        for (int k = 0; k < Channels; ++k) {
            auto& chain = effect.allpass_state[static_cast<std::size_t>(k)];
            for (int j = 0; j < Stages; ++j) {
                chain[static_cast<std::size_t>(j)].x1 = x1[k][j];
                chain[static_cast<std::size_t>(j)].y1 = y1[k][j];
            }
            effect.feedback_memory[static_cast<std::size_t>(k)] = memory[k];
        }
    }

    void run(float* frame, unsigned long long count, const float* u_of_frame, float feedback,
             float mix, float dry) {
        for (unsigned long long i = 0; i < count; ++i, frame += Channels) {
            const float u = u_of_frame[i];
            const float minus_u = -u;
            for (int k = 0; k < Channels; ++k) {
                const float x = frame[k];
                float t = memory[k] * feedback + x;
                for (int j = 0; j < Stages; ++j) {
                    const float y = t * minus_u + x1[k][j] + y1[k][j] * u;
                    x1[k][j] = t;
                    y1[k][j] = y;
                    t = y;
                }
                memory[k] = t;
                frame[k] = t * mix + x * dry;
            }
        }
    }
};

template <int Stages, int Channels>
void run_fixed(PhaserEffect& effect, const Sweep& sweep, float* data, unsigned long long frames,
               float feedback, float mix, float dry) {
    FixedChains<Stages, Channels> chains(effect);
    walk_with_sweep(sweep, effect.frame_counter, frames,
                    [&](unsigned long long first, unsigned long long count, const float* u) {
                        chains.run(data + first * Channels, count, u, feedback, mix, dry);
                    });
    chains.store(effect);
}

// Any stage and channel count: the state stays in the effect's vectors.
void run_any(PhaserEffect& effect, const Sweep& sweep, float* data, unsigned long long frames,
             int channels, float feedback, float mix, float dry) {
    const auto stride = static_cast<unsigned long long>(channels);
    float* memory = effect.feedback_memory.data();
    walk_with_sweep(
        sweep, effect.frame_counter, frames,
        [&](unsigned long long first, unsigned long long count, const float* u_of_frame) {
            float* frame = data + first * stride;
            for (unsigned long long i = 0; i < count; ++i, frame += stride) {
                const float u = u_of_frame[i];
                const float minus_u = -u;
                for (int k = 0; k < channels; ++k) {
                    const float x = frame[k];
                    float t = memory[k] * feedback + x;
                    for (PhaserEffect::AllpassStage& stage :
                         effect.allpass_state[static_cast<std::size_t>(k)]) {
                        const float y = t * minus_u + stage.x1 + stage.y1 * u;
                        stage.x1 = t;
                        stage.y1 = y;
                        t = y;
                    }
                    memory[k] = t;
                    frame[k] = t * mix + x * dry;
                }
            }
        });
}

}  // namespace

// Blocks only bound the walk and every frame's sweep comes from its own count, so the whole
// call runs as one walk: the result is the same for every block size.
void PhaserEffect::process(float* data, unsigned long long frames, int channels, unsigned long long,
                           unsigned int) {
    const float hi = 0.45f * sample_rate > 80.0f ? 0.45f * sample_rate : 80.0f;
    const Sweep sweep{sample_rate, rate_hz * kTwoPi, depth * 1.65f, center_hz, hi};
    const float dry = 1.0f - mix;
    if (stages == 4 && channels == 2) {
        run_fixed<4, 2>(*this, sweep, data, frames, feedback, mix, dry);
    } else if (stages == 4 && channels == 1) {
        run_fixed<4, 1>(*this, sweep, data, frames, feedback, mix, dry);
    } else {
        run_any(*this, sweep, data, frames, channels, feedback, mix, dry);
    }
    frame_counter += frames;
}

PlannedEffect plan_phaser_effect(const ParamReader& params, float sample_rate, int channels) {
    const int stages = params.read_int("stages", 4);
    const float mix = params.read_float("mix", 0.5f);
    const float feedback = params.read_float("feedback", 0.2f);
    const float center_hz = params.read_float("center_hz", 900.0f);
    const float depth = params.read_float("depth", 0.75f);
    const float rate_hz = params.read_float("rate_hz", 0.35f);
    const auto c = static_cast<std::uint64_t>(channels);
    EffectMemory memory;
    memory.size_key = "stages";
    memory.size_value = stages;
    memory.state_name = "all-pass state";
    memory.state = heap_array_bytes(c, sizeof(std::vector<PhaserEffect::AllpassStage>)) +
                   heap_arrays_bytes(c, static_cast<std::uint64_t>(stages > 0 ? stages : 1),
                                     sizeof(PhaserEffect::AllpassStage)) +
                   heap_array_bytes(c, sizeof(float));
    return plan_effect<PhaserEffect>(memory, [=] {
        return std::make_unique<PhaserEffect>(sample_rate, stages, mix, feedback, center_hz, depth,
                                              rate_hz, channels);
    });
}

}  // namespace kavri
