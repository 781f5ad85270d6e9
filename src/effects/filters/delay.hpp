// Feedback echoes.
//
// delay            every channel gets its own whole-sample echo line.
//                  "mix": wet share in [0, 1], default 0.2. "feedback": how much of each echo
//                  is fed back, in [-1, 1], default 0.35 (negative flips the sign of every
//                  repeat). "delay_ms": echo time, default 150; below half a sample it is one
//                  sample.
// ping_pong_delay  echoes that bounce between channel 0 and channel 1, with a fractional
//                  echo time. "mix" in [0, 1], default 0.3. "feedback" in [-1, 1], default
//                  0.55. "delay_ms": at least 0.001 and never below one sample, default 180.
//                  A mono buffer, and channels 2 and above, get plain feedback echoes.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/effect.hpp"
#include "engine/params.hpp"
#include "engine/zeroed_vector.hpp"

namespace kavri {

// One channel's echo line, zeroed.
using DelayLine = ZeroedVector<float>;

class DelayEffect final : public Effect {
public:
    DelayEffect(float sample_rate, int channels, float delay_ms, float mix_value,
                float feedback_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;
    bool lane_params(int channel, LaneParams& out) override;

    float feedback;
    float mix;
    std::vector<DelayLine> lines;
    std::vector<std::uint64_t> write_positions;
};

class PingPongDelayEffect final : public Effect {
public:
    PingPongDelayEffect(float sample_rate, int channels, float delay_ms, float mix_value,
                        float feedback_value);
    void process(float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers) override;

    float delay_samples;
    float feedback;
    float mix;
    std::vector<DelayLine> lines;
    std::uint64_t write_pos;
};

// One zeroed line of `length` samples per channel. Throws std::bad_alloc, before allocating
// anything, when all the lines together would not fit in physical memory.
std::vector<DelayLine> make_delay_lines(int channels, std::uint64_t length);

// What make_delay_lines(channels, length) allocates, with the line headers.
ByteCount delay_lines_bytes(int channels, std::uint64_t length);

// The two slots and the weight of a read between samples: slot floor(position) weighted by
// 1 - frac and the next slot by frac, both taken modulo the line length so that negative
// positions wrap to the end.
struct ReadTaps {
    std::int64_t first;
    std::int64_t second;
    float frac;
};

// The taps from the whole part e of a position and its fraction.
inline ReadTaps wrap_taps(std::int64_t e, float frac, std::int64_t length) {
    std::int64_t first = e;
    std::int64_t second = e + 1;
    // Both slots inside the line is the usual case; a slot within one line length before its
    // start (a read just after the write index wrapped) or at its end is one addition or
    // subtraction away, the same slot as the remainder gives; only the others need the
    // remainders, whose integer divisions would cost more than the rest of the read.
    if (!(e >= 0 && second < length)) {
        if (e >= -length && e < length) {
            first = e < 0 ? e + length : e;
            second = second < 0 ? second + length : (second < length ? second : second - length);
            return {first, second, frac};
        }
        first = e % length;
        if (first < 0) {
            first += length;
        }
        second = (e + 1) % length;
        if (second < 0) {
            second += length;
        }
    }
    return {first, second, frac};
}

// The taps of a line of `length` samples at `position` (finite, within one line length of
// the line's ends).
inline ReadTaps interpolation_taps(std::int64_t length, float position) {
    // floor(position) as truncation, one lower for a negative non-integer: the same value as
    // std::floor for every finite position in range, with no library or rounding-mode path.
    // A position with a fraction is below 2^23 in size, so whole - 1 is exact; the sign of
    // position carries over so that -0 gives the same frac as std::floor would.
    std::int64_t e = static_cast<std::int64_t>(position);
    float whole = static_cast<float>(e);
    if (position < whole) {
        --e;
        whole = whole - 1.0f;
    }
    return wrap_taps(e, position - std::copysign(whole, position), length);
}

inline float read_taps(const float* line, const ReadTaps& taps) {
    return line[taps.first] * (1.0f - taps.frac) + line[taps.second] * taps.frac;
}

inline float read_interpolated(const float* line, std::int64_t length, float position) {
    return read_taps(line, interpolation_taps(length, position));
}

inline float read_interpolated(const DelayLine& line, float position) {
    return read_interpolated(line.data(), static_cast<std::int64_t>(line.size()), position);
}

PlannedEffect plan_delay_effect(const ParamReader& params, float sample_rate, int channels);
PlannedEffect plan_ping_pong_delay_effect(const ParamReader& params, float sample_rate,
                                          int channels);

}  // namespace kavri
