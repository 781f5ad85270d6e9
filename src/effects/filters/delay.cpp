#include "effects/filters/delay.hpp"

#include <cmath>
#include <memory>
#include <new>

#include "effects/clamp.hpp"
#include "engine/channel_walk.hpp"
#include "engine/state_size.hpp"

namespace kavri {

namespace {

std::uint64_t delay_line_length(float sample_rate, float delay_ms) {
    // Zero, negative and sub-half-sample delays (and minus infinity) all give one sample.
    float samples = std::round((sample_rate * delay_ms) / 1000.0f);
    if (samples < 1.0f) {
        samples = 1.0f;
    }
    return float_to_count(samples, "The delay length from \"delay_ms\"");
}

float ping_pong_delay_samples(float sample_rate, float delay_ms) {
    float d = delay_ms;
    if (d < 0.001f) {
        d = 0.001f;
    }
    float samples = (d * sample_rate) / 1000.0f;
    if (samples < 1.0f) {
        samples = 1.0f;
    }
    return samples;
}

// ceil(delay_samples) + 4 taps of room, and never fewer than 8. The sum is taken in integers
// so that the room stays 4 samples even where a float could no longer count single samples.
std::uint64_t ping_pong_line_length(float delay_samples) {
    const std::uint64_t whole =
        float_to_count(std::ceil(delay_samples), "The ping-pong delay length from \"delay_ms\"");
    const std::uint64_t length = whole + 4;
    return length < 8 ? 8 : length;
}

}  // namespace

std::vector<DelayLine> make_delay_lines(int channels, std::uint64_t length) {
    const auto count = static_cast<std::uint64_t>(channels < 0 ? 0 : channels);
    require_state_fits(checked_count_product(length, count), sizeof(float));
    // Each line is made in place: copies of one zeroed line would touch every page, and the
    // line copied from would be one line too many while they are made.
    std::vector<DelayLine> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t k = 0; k < count; ++k) {
        lines.emplace_back(static_cast<std::size_t>(length));
    }
    return lines;
}

ByteCount delay_lines_bytes(int channels, std::uint64_t length) {
    const auto count = static_cast<std::uint64_t>(channels < 0 ? 0 : channels);
    return heap_array_bytes(count, sizeof(DelayLine)) +
           heap_arrays_bytes(count, length, sizeof(float));
}

DelayEffect::DelayEffect(float sample_rate, int channels, float delay_ms, float mix_value,
                         float feedback_value)
    : feedback(clamp_to(feedback_value, -1.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      lines(make_delay_lines(channels, delay_line_length(sample_rate, delay_ms))),
      write_positions(lines.size(), 0) {}

void DelayEffect::process(float* data, unsigned long long frames, int channels,
                          unsigned long long block_size, unsigned int workers) {
    struct Line {
        float* samples;
        std::uint64_t length;
        std::uint64_t position;
    };
    struct Kernel {
        DelayLine* lines;
        std::uint64_t* write_positions;
        float fb;
        float wet_gain;
        float dry_gain;

        Line load(int ch) const {
            return {lines[ch].data(), lines[ch].size(), write_positions[ch]};
        }
        void store(int ch, const Line& s) const { write_positions[ch] = s.position; }
        float step(Line& s, float x) const {
            std::uint64_t j = s.position;
            const float d = s.samples[j];
            s.samples[j] = d * fb + x;
            ++j;
            if (j == s.length) {
                j = 0;
            }
            s.position = j;
            return dry_gain * x + wet_gain * d;
        }
    };
    const Kernel kernel{lines.data(), write_positions.data(), feedback, mix, 1.0f - mix};
    for_each_channel_sample(data, frames, channels, block_size, workers, kernel);
}

bool DelayEffect::lane_params(int channel, LaneParams& out) {
    const auto ch = static_cast<std::size_t>(channel);
    out.kind = LaneKind::delay;
    out.value[0] = feedback;
    out.value[1] = mix;
    out.value[2] = 1.0f - mix;
    out.line = lines[ch].data();
    out.line_length = lines[ch].size();
    out.line_position = write_positions[ch];
    return true;
}

PingPongDelayEffect::PingPongDelayEffect(float sample_rate, int channels, float delay_ms,
                                         float mix_value, float feedback_value)
    : delay_samples(ping_pong_delay_samples(sample_rate, delay_ms)),
      feedback(clamp_to(feedback_value, -1.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      lines(make_delay_lines(channels, ping_pong_line_length(delay_samples))),
      write_pos(0) {}

namespace {

// Runs the frames with the write index starting at w0 and returns it after the last frame.
// Channels is the channel count, or 0 for three or more known only at run time. Every line has
// the same length and is read at the same position, so the taps are worked out once a frame.
// Channels 0 and 1 take each other's echo; a mono buffer keeps its own, and so do channels 2
// and above. Each frame reads both crossed lines before writing either.
template <int Channels>
std::int64_t run_ping_pong(PingPongDelayEffect& effect, float* data, unsigned long long frames,
                           int channel_count, std::int64_t w0) {
    const int channels = Channels > 0 ? Channels : channel_count;
    const auto stride = static_cast<std::size_t>(channels);
    const auto length = static_cast<std::int64_t>(effect.lines[0].size());
    const float delay = effect.delay_samples;
    const float fb = effect.feedback;
    const float wet_gain = effect.mix;
    const float dry_gain = 1.0f - effect.mix;
    float* const first_line = effect.lines[0].data();
    float* const second_line = channels > 1 ? effect.lines[1].data() : first_line;
    std::int64_t w = w0;
    float* frame = data;
    for (unsigned long long i = 0; i < frames; ++i, frame += stride) {
        const ReadTaps taps = interpolation_taps(length, static_cast<float>(w) - delay);
        if (channels == 1) {
            const float x = frame[0];
            const float wet = read_taps(first_line, taps);
            frame[0] = wet_gain * wet + x * dry_gain;
            first_line[w] = wet * fb + x;
        } else {
            const float x0 = frame[0];
            const float x1 = frame[1];
            const float wet0 = read_taps(first_line, taps);
            const float wet1 = read_taps(second_line, taps);
            frame[0] = wet_gain * wet1 + x0 * dry_gain;
            first_line[w] = wet1 * fb + x0;
            frame[1] = wet_gain * wet0 + x1 * dry_gain;
            second_line[w] = wet0 * fb + x1;
            for (std::size_t k = 2; k < stride; ++k) {
                float* line = effect.lines[k].data();
                const float x = frame[k];
                const float wet = read_taps(line, taps);
                frame[k] = wet_gain * wet + x * dry_gain;
                line[w] = wet * fb + x;
            }
        }
        ++w;
        if (!(w < length)) {
            w = 0;
        }
    }
    return w;
}

}  // namespace

// Blocks only bound the walk, so the whole call runs as one walk. delay_samples is finite and
// at least 1 and the write index is below a line length that fits in memory, so the read
// position is finite and its floor fits a signed 64-bit count; as a signed count the write
// index converts to the same float in one instruction.
void PingPongDelayEffect::process(float* data, unsigned long long frames, int channels,
                                  unsigned long long, unsigned int) {
    if (frames == 0 || channels < 1) {
        return;
    }
    const auto w0 = static_cast<std::int64_t>(write_pos);
    std::int64_t w = 0;
    if (channels == 2) {
        w = run_ping_pong<2>(*this, data, frames, channels, w0);
    } else if (channels == 1) {
        w = run_ping_pong<1>(*this, data, frames, channels, w0);
    } else {
        w = run_ping_pong<0>(*this, data, frames, channels, w0);
    }
    write_pos = static_cast<std::uint64_t>(w);
}

namespace {

// The lines of a length that may be beyond any machine: an impossible length (an infinite
// time, say) is an unbounded size for the memory check to refuse with its message.
template <typename Length>
EffectMemory delay_memory(int channels, float delay_ms, Length&& length) {
    EffectMemory memory;
    memory.size_key = "delay_ms";
    memory.size_value = delay_ms;
    memory.state_name = "delay lines";
    try {
        memory.state = delay_lines_bytes(channels, length());
    } catch (const std::bad_alloc&) {
        memory.state = ByteCount(ByteCount::kUnbounded);
    }
    return memory;
}

}  // namespace

PlannedEffect plan_delay_effect(const ParamReader& params, float sample_rate, int channels) {
    const float mix = params.read_float("mix", 0.2f);
    const float feedback = params.read_float("feedback", 0.35f);
    const float delay_ms = params.read_float("delay_ms", 150.0f);
    EffectMemory memory =
        delay_memory(channels, delay_ms, [&] { return delay_line_length(sample_rate, delay_ms); });
    memory.state += heap_array_bytes(static_cast<std::uint64_t>(channels), sizeof(std::uint64_t));
    return plan_effect<DelayEffect>(
        memory,
        [=] {
            return std::make_unique<DelayEffect>(sample_rate, channels, delay_ms, mix, feedback);
        },
        LaneKind::delay);
}

PlannedEffect plan_ping_pong_delay_effect(const ParamReader& params, float sample_rate,
                                          int channels) {
    const float mix = params.read_float("mix", 0.3f);
    const float feedback = params.read_float("feedback", 0.55f);
    const float delay_ms = params.read_float("delay_ms", 180.0f);
    const EffectMemory memory = delay_memory(channels, delay_ms, [&] {
        return ping_pong_line_length(ping_pong_delay_samples(sample_rate, delay_ms));
    });
    return plan_effect<PingPongDelayEffect>(memory, [=] {
        return std::make_unique<PingPongDelayEffect>(sample_rate, channels, delay_ms, mix,
                                                     feedback);
    });
}

}  // namespace kavri
