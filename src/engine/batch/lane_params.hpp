// What an effect tells the batch engine so that one channel of it can run in a vector lane
// beside channels of other items: which recurrence it is, and its coefficients exactly as its
// own process() uses them. The batch engine never derives a coefficient itself, so a lane
// runs with the very values the effect object was built with.
#pragma once

#include <cstdint>

namespace kavri {

// The recurrences the lanes run. Every biquad type (the seven filters) is one kind: their
// sections differ only by coefficients, which are per lane.
enum class LaneKind : unsigned char {
    none = 0,
    gain,        // value[0] linear gain
    clip,        // value[0] threshold
    distortion,  // value[0] drive, value[1] normaliser
    biquad,      // value[0..4] b0 b1 b2 a1 a2, stages
    limiter,     // value[0] ceiling, value[1] attack, value[2] release
    compressor,  // value[0] threshold, value[1] exponent, value[2] makeup, [3] attack, [4] release
    tremolo,     // value[0] phase increment, value[1] depth, value[2] floor gain (1 - depth)
    delay,       // value[0] feedback, value[1] wet gain (mix), value[2] dry gain (1 - mix); line
};

constexpr int kLaneValues = 5;

// One biquad section's memory, as the filter effect keeps it for each section of each
// channel; a lane runs its channel's sections on the effect's own.
struct SectionState {
    float z1 = 0.0f;
    float z2 = 0.0f;
};

// One channel of one effect as a lane runs it. The delay's line is the effect's own (its
// lane reads and writes it in place); the other kinds keep their running state in the lane.
struct LaneParams {
    LaneKind kind = LaneKind::none;
    float value[kLaneValues] = {};
    int stages = 1;
    SectionState* sections = nullptr;  // biquad: the channel's `stages` sections
    // The channel's running value where the kind keeps one: the limiter's gain, the
    // compressor's envelope, the tremolo's phase.
    float running = 0.0f;
    float* line = nullptr;
    std::uint64_t line_length = 0;
    std::uint64_t line_position = 0;
};

}  // namespace kavri
