#include "effects/rooms/reverb.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "engine/lanes.hpp"

namespace kavri {

namespace {

// The lines' lengths at room size 0.5 (scale 1.2 of these), in milliseconds: spread over a
// little more than an octave, as the walls of a room are.
constexpr std::array<double, ReverbEffect::kLines> kBaseMs = {24.1, 28.3, 31.9, 36.7,
                                                              41.3, 45.7, 51.1, 57.3};
constexpr std::array<double, ReverbEffect::kDiffusers> kDiffuserMs = {4.77, 3.59, 12.73, 9.30};
constexpr float kDiffusion = 0.6F;
constexpr std::array<float, ReverbEffect::kLines> kInputSigns = {1.0F, -1.0F, -1.0F, 1.0F,
                                                                 1.0F, 1.0F,  -1.0F, -1.0F};
constexpr float kQuarter = 0.25F;
// Below 1e-30 (these are its bits) a recirculating value is taken as silence: it keeps the
// loops out of the subnormal numbers, which are slow on many processors, long before they
// could be heard.
constexpr std::uint32_t kSilentBits = 0x0DA24260U;

// Written on the bits (the magnitude's bits order as the magnitudes do) so that loops over
// it run in vectors: a comparison of floats would be a branch under the strict rules.
float silenced(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    const std::uint32_t keep = (bits & 0x7FFFFFFFU) < kSilentBits ? 0U : ~0U;
    bits &= keep;
    float out = 0.0F;
    std::memcpy(&out, &bits, sizeof out);
    return out;
}

// Frames taken a stage at a time.
constexpr std::size_t kStretch = 256;

// A delay line's stretch: each value swapped with the one it held.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void delay_stage(float* __restrict values, float* __restrict slots, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const float delayed = slots[k];
        slots[k] = values[k];
        values[k] = delayed;
    }
}

// A Schroeder all-pass's stretch: (g + z^-L) / (1 + g z^-L), in place.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void diffuse_stage(float* __restrict values, float* __restrict slots, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        const float delayed = slots[k];
        const float fed = silenced(values[k] - kDiffusion * delayed);
        slots[k] = fed;
        values[k] = delayed + kDiffusion * fed;
    }
}

using Block = std::array<std::array<float, kStretch>, ReverbEffect::kLines>;

// silenced() in four lanes.
Lanes silenced_lanes(Lanes value) {
    const IntLanes bits = reinterpret_cast<IntLanes>(value);
    const IntLanes keep = (bits & 0x7FFFFFFF) >= static_cast<std::int32_t>(kSilentBits);
    return reinterpret_cast<Lanes>(bits & keep);
}

// Four rows of four turned into four columns.
void transpose(Lanes& a, Lanes& b, Lanes& c, Lanes& d) {
    const Lanes ab_low = __builtin_shufflevector(a, b, 0, 4, 1, 5);
    const Lanes ab_high = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const Lanes cd_low = __builtin_shufflevector(c, d, 0, 4, 1, 5);
    const Lanes cd_high = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    a = __builtin_shufflevector(ab_low, cd_low, 0, 1, 4, 5);
    b = __builtin_shufflevector(ab_low, cd_low, 2, 3, 6, 7);
    c = __builtin_shufflevector(ab_high, cd_high, 0, 1, 4, 5);
    d = __builtin_shufflevector(ab_high, cd_high, 2, 3, 6, 7);
}

Lanes load(const float* from) {
    Lanes value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

void store(float* to, Lanes value) {
    std::memcpy(to, &value, sizeof value);
}

// The eight lines' low-passes over a stretch, each then scaled by its round-trip gain, four
// lines in vector lanes: the taps of four frames are turned from rows of lines into rows of
// frames, the recursion runs frame after frame with each lane its own line, and the results
// are turned back. Each lane does the scalar operations in their order, so the bits are those
// of one line at a time (and of the frames past the last four, done one at a time).
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void damp_stage(const Block& taps, Block& kept, std::array<float, ReverbEffect::kLines>& lowpass,
                float keep, float damping, const std::array<float, ReverbEffect::kLines>& gains,
                std::size_t count) {
    constexpr std::size_t kWidth = 4;
    const Lanes keep_lanes = {keep, keep, keep, keep};
    const Lanes damping_lanes = {damping, damping, damping, damping};
    std::array<Lanes, 2> held = {load(lowpass.data()), load(lowpass.data() + kWidth)};
    const std::array<Lanes, 2> gain = {load(gains.data()), load(gains.data() + kWidth)};
    const std::size_t whole = count - count % kWidth;
    for (std::size_t k = 0; k < whole; k += kWidth) {
        for (std::size_t half = 0; half < 2; ++half) {
            const std::size_t line = half * kWidth;
            std::array<Lanes, kWidth> rows{};
            for (std::size_t j = 0; j < kWidth; ++j) {
                rows[j] = load(taps[line + j].data() + k);
            }
            transpose(rows[0], rows[1], rows[2], rows[3]);
            for (std::size_t j = 0; j < kWidth; ++j) {
                held[half] = silenced_lanes(rows[j] * keep_lanes + held[half] * damping_lanes);
                rows[j] = held[half] * gain[half];
            }
            transpose(rows[0], rows[1], rows[2], rows[3]);
            for (std::size_t j = 0; j < kWidth; ++j) {
                store(kept[line + j].data() + k, rows[j]);
            }
        }
    }
    std::array<float, ReverbEffect::kLines> last{};
    store(last.data(), held[0]);
    store(last.data() + kWidth, held[1]);
    for (std::size_t k = whole; k < count; ++k) {
        for (std::size_t i = 0; i < ReverbEffect::kLines; ++i) {
            last[i] = silenced(taps[i][k] * keep + last[i] * damping);
            kept[i][k] = last[i] * gains[i];
        }
    }
    lowpass = last;
}

// A line's writing back over a stretch: its value less the reflection, with the input added
// in its sign.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
void feed_stage(float* __restrict slots, const float* __restrict kept,
                const float* __restrict reflected, const float* __restrict entering, float sign,
                std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        slots[k] = (kept[k] - reflected[k]) + entering[k] * sign;
    }
}

bool is_prime(std::size_t n) {
    if (n < 2) {
        return false;
    }
    for (std::size_t d = 2; d * d <= n; ++d) {
        if (n % d == 0) {
            return false;
        }
    }
    return true;
}

double size_scale(float room_size) {
    return 0.4 + 1.6 * static_cast<double>(room_size);
}

// Each line's length: the first prime at or above its scaled base length that no shorter
// line took, so that every pair of lengths is coprime.
std::array<std::size_t, ReverbEffect::kLines> line_lengths(float sample_rate, float room_size) {
    std::array<std::size_t, ReverbEffect::kLines> lengths{};
    const double scale = size_scale(room_size);
    std::size_t previous = 0;
    for (int i = 0; i < ReverbEffect::kLines; ++i) {
        const double target =
            std::round(kBaseMs[static_cast<std::size_t>(i)] * scale * sample_rate / 1000.0);
        std::size_t length = std::max<std::size_t>(2, static_cast<std::size_t>(target));
        length = std::max(length, previous + 1);
        while (!is_prime(length)) {
            ++length;
        }
        lengths[static_cast<std::size_t>(i)] = length;
        previous = length;
    }
    return lengths;
}

std::size_t diffuser_length(float sample_rate, int index) {
    const double ms = kDiffuserMs[static_cast<std::size_t>(index)];
    return std::max<std::size_t>(1,
                                 static_cast<std::size_t>(std::round(ms * sample_rate / 1000.0)));
}

std::size_t pre_delay_frames(float sample_rate, float pre_delay_ms) {
    return static_cast<std::size_t>(
        std::round(static_cast<double>(pre_delay_ms) * sample_rate / 1000.0));
}

// Throws unless low <= value <= high; NaN fails both comparisons.
void require_within(const char* key, float value, float low, float high) {
    if (!(value >= low) || !(value <= high)) {
        char text[96];
        std::snprintf(text, sizeof(text), "reverb: %s must be within %g and %g, got %g", key,
                      static_cast<double>(low), static_cast<double>(high),
                      static_cast<double>(value));
        throw std::invalid_argument(text);
    }
}

}  // namespace

void ReverbEffect::check_settings(float room_size, float damping, float pre_delay_ms, float width,
                                  float mix) {
    require_within("room_size", room_size, 0.0F, 1.0F);
    require_within("damping", damping, 0.0F, 1.0F);
    require_within("pre_delay_ms", pre_delay_ms, 0.0F, kLongestPreDelayMs);
    require_within("width", width, 0.0F, 1.0F);
    require_within("mix", mix, 0.0F, 1.0F);
}

std::size_t ReverbEffect::memory_bytes(float sample_rate, float room_size, float pre_delay_ms) {
    std::size_t frames = pre_delay_frames(sample_rate, pre_delay_ms);
    for (const std::size_t length : line_lengths(sample_rate, room_size)) {
        frames += length;
    }
    for (int d = 0; d < kDiffusers; ++d) {
        frames += diffuser_length(sample_rate, d);
    }
    return frames * sizeof(float);
}

ReverbEffect::ReverbEffect(float sample_rate, int channels, float room_size, float damping,
                           float pre_delay_ms, float width, float mix)
    : channels_(channels),
      inverse_channels_(1.0F / static_cast<float>(channels)),
      damping_(damping * 0.85F),
      keep_(1.0F - damping * 0.85F),
      left_share_((1.0F + width) * 0.5F),
      right_share_((1.0F - width) * 0.5F),
      mix_(mix),
      dry_(1.0F - mix),
      lengths_((check_settings(room_size, damping, pre_delay_ms, width, mix),
                line_lengths(sample_rate, room_size))) {
    const double decay = 0.2 * std::pow(40.0, static_cast<double>(room_size));
    decay_seconds_ = static_cast<float>(decay);
    double mean_length = 0.0;
    for (int i = 0; i < kLines; ++i) {
        const auto at = static_cast<std::size_t>(i);
        const double length = static_cast<double>(lengths_[at]);
        mean_length += length / kLines;
        gains_[at] = static_cast<float>(std::pow(10.0, -3.0 * length / (decay * sample_rate)));
        lines_[at].buffer.assign(lengths_[at], 0.0F);
    }
    // The input's share that gives the undamped wet impulse response about unit energy at
    // full width: what one round trip loses, 1 - g^2, spread over the eight lines.
    const double kept = std::pow(10.0, -6.0 * mean_length / (decay * sample_rate));
    input_gain_ = static_cast<float>(std::sqrt((1.0 - kept) / kLines));
    for (int d = 0; d < kDiffusers; ++d) {
        diffusers_[static_cast<std::size_t>(d)].buffer.assign(diffuser_length(sample_rate, d),
                                                              0.0F);
    }
    pre_delay_.buffer.assign(pre_delay_frames(sample_rate, pre_delay_ms), 0.0F);
}

void ReverbEffect::reset() {
    for (Line& line : lines_) {
        std::fill(line.buffer.begin(), line.buffer.end(), 0.0F);
        line.position = 0;
    }
    for (Line& line : diffusers_) {
        std::fill(line.buffer.begin(), line.buffer.end(), 0.0F);
        line.position = 0;
    }
    std::fill(pre_delay_.buffer.begin(), pre_delay_.buffer.end(), 0.0F);
    pre_delay_.position = 0;
    lowpass_.fill(0.0F);
}

namespace {

// The state a run works on, copied out of the effect into locals: stores to the samples
// then cannot be taken to change it, and it stays in registers.
struct Taps {
    std::array<float*, ReverbEffect::kLines> buffer{};
    std::array<std::size_t, ReverbEffect::kLines> position{};
    std::array<std::size_t, ReverbEffect::kLines> length{};
};

}  // namespace

void ReverbEffect::process(const float* in, float* out, std::size_t frames) {
    const auto stride = static_cast<std::size_t>(channels_);
    Taps lines;
    for (std::size_t i = 0; i < kLines; ++i) {
        lines.buffer[i] = lines_[i].buffer.data();
        lines.position[i] = lines_[i].position;
        lines.length[i] = lines_[i].buffer.size();
    }
    std::array<float*, kDiffusers> diffuser_buffer{};
    std::array<std::size_t, kDiffusers> diffuser_position{};
    std::array<std::size_t, kDiffusers> diffuser_length{};
    for (std::size_t d = 0; d < kDiffusers; ++d) {
        diffuser_buffer[d] = diffusers_[d].buffer.data();
        diffuser_position[d] = diffusers_[d].position;
        diffuser_length[d] = diffusers_[d].buffer.size();
    }
    float* const pre_buffer = pre_delay_.buffer.data();
    const std::size_t pre_length = pre_delay_.buffer.size();
    std::size_t pre_position = pre_delay_.position;
    std::array<float, kLines> lowpass = lowpass_;
    const std::array<float, kLines> gains = gains_;
    const float keep = keep_;
    const float damping = damping_;
    const float inverse_channels = inverse_channels_;
    const float input_gain = input_gain_;
    const float left_share = left_share_;
    const float right_share = right_share_;
    const float mix = mix_;
    const float dry = dry_;
    Block taps;
    Block kept;
    std::array<float, kStretch> reflected{};
    std::array<float, kStretch> wet_left{};
    std::array<float, kStretch> wet_right{};
    std::size_t n = 0;
    while (n < frames) {
        // A stretch of at most kStretch frames in which no line, diffuser or the pre-delay
        // wraps around: each reads and writes at its position plus the frame's place in the
        // stretch, and no frame reads what another frame of the stretch wrote.
        std::size_t count = std::min(frames - n, kStretch);
        for (std::size_t i = 0; i < kLines; ++i) {
            count = std::min(count, lines.length[i] - lines.position[i]);
        }
        for (std::size_t d = 0; d < kDiffusers; ++d) {
            count = std::min(count, diffuser_length[d] - diffuser_position[d]);
        }
        if (pre_length > 0) {
            count = std::min(count, pre_length - pre_position);
        }
        std::array<float*, kLines> at{};
        for (std::size_t i = 0; i < kLines; ++i) {
            at[i] = lines.buffer[i] + lines.position[i];
        }
        std::array<float*, kDiffusers> smear{};
        for (std::size_t d = 0; d < kDiffusers; ++d) {
            smear[d] = diffuser_buffer[d] + diffuser_position[d];
        }
        float* const pre = pre_length > 0 ? pre_buffer + pre_position : nullptr;
        // The input side first, a stage at a time over the stretch: nothing in it depends on
        // another frame of the stretch, so each stage runs in vectors.
        std::array<float, kStretch> entering{};
        const float* first = in + n * stride;
        for (std::size_t k = 0; k < count; ++k) {
            float x = first[k * stride];
            for (std::size_t c = 1; c < stride; ++c) {
                x = x + first[k * stride + c];
            }
            entering[k] = x * inverse_channels;
        }
        if (pre != nullptr) {
            delay_stage(entering.data(), pre, count);
        }
        for (std::size_t d = 0; d < kDiffusers; ++d) {
            diffuse_stage(entering.data(), smear[d], count);
        }
        for (std::size_t k = 0; k < count; ++k) {
            entering[k] = entering[k] * input_gain;
        }
        // The lines' side, a stage at a time as well: only each line's low-pass carries from
        // one frame to the next, so the taps are copied out, the eight low-passes run side by
        // side, and the mixing, the writing back and the output run in vectors over frames.
        for (std::size_t i = 0; i < kLines; ++i) {
            std::memcpy(taps[i].data(), at[i], count * sizeof(float));
        }
        damp_stage(taps, kept, lowpass, keep, damping, gains, count);
        for (std::size_t k = 0; k < count; ++k) {
            const float sum = ((kept[0][k] + kept[1][k]) + (kept[2][k] + kept[3][k])) +
                              ((kept[4][k] + kept[5][k]) + (kept[6][k] + kept[7][k]));
            reflected[k] = sum * kQuarter;
        }
        for (std::size_t i = 0; i < kLines; ++i) {
            feed_stage(at[i], kept[i].data(), reflected.data(), entering.data(), kInputSigns[i],
                       count);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const float left = ((taps[0][k] - taps[1][k]) + (taps[2][k] - taps[3][k])) +
                               ((taps[4][k] - taps[5][k]) + (taps[6][k] - taps[7][k]));
            const float right = ((taps[0][k] + taps[1][k]) - (taps[2][k] + taps[3][k])) +
                                ((taps[4][k] + taps[5][k]) - (taps[6][k] + taps[7][k]));
            wet_left[k] = left * left_share + right * right_share;
            wet_right[k] = right * left_share + left * right_share;
        }
        const float* frames_in = in + n * stride;
        float* frames_out = out + n * stride;
        if (stride == 2) {
            if (dry == 0.0F) {
                for (std::size_t k = 0; k < count; ++k) {
                    frames_out[2 * k] = wet_left[k] * mix;
                    frames_out[2 * k + 1] = wet_right[k] * mix;
                }
            } else {
                for (std::size_t k = 0; k < count; ++k) {
                    const float left_in = frames_in[2 * k];
                    const float right_in = frames_in[2 * k + 1];
                    frames_out[2 * k] = left_in * dry + wet_left[k] * mix;
                    frames_out[2 * k + 1] = right_in * dry + wet_right[k] * mix;
                }
            }
        } else {
            for (std::size_t k = 0; k < count; ++k) {
                for (std::size_t c = 0; c < stride; ++c) {
                    const float wet = (c & 1U) == 0 ? wet_left[k] : wet_right[k];
                    const float x = frames_in[k * stride + c];
                    frames_out[k * stride + c] = dry == 0.0F ? wet * mix : x * dry + wet * mix;
                }
            }
        }
        for (std::size_t i = 0; i < kLines; ++i) {
            lines.position[i] = (lines.position[i] + count) % lines.length[i];
        }
        for (std::size_t d = 0; d < kDiffusers; ++d) {
            diffuser_position[d] = (diffuser_position[d] + count) % diffuser_length[d];
        }
        if (pre_length > 0) {
            pre_position = (pre_position + count) % pre_length;
        }
        n += count;
    }
    for (std::size_t i = 0; i < kLines; ++i) {
        lines_[i].position = lines.position[i];
    }
    for (std::size_t d = 0; d < kDiffusers; ++d) {
        diffusers_[d].position = diffuser_position[d];
    }
    pre_delay_.position = pre_position;
    lowpass_ = lowpass;
}

}  // namespace kavri
