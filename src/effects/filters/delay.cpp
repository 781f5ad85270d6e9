#include "effects/filters/delay.hpp"

#include <cmath>
#include <memory>

#include "effects/clamp.hpp"
#include "engine/block_walk.hpp"
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

std::vector<std::vector<float>> make_delay_lines(int channels, std::uint64_t length) {
    const auto count = static_cast<std::uint64_t>(channels < 0 ? 0 : channels);
    require_state_fits(checked_count_product(length, count), sizeof(float));
    return std::vector<std::vector<float>>(static_cast<std::size_t>(count),
                                           std::vector<float>(static_cast<std::size_t>(length), 0.0f));
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
        std::vector<float>* lines;
        std::uint64_t* write_positions;
        float fb;
        float wet_gain;
        float dry_gain;

        Line load(int ch) const { return {lines[ch].data(), lines[ch].size(), write_positions[ch]}; }
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

PingPongDelayEffect::PingPongDelayEffect(float sample_rate, int channels, float delay_ms,
                                         float mix_value, float feedback_value)
    : delay_samples(ping_pong_delay_samples(sample_rate, delay_ms)),
      feedback(clamp_to(feedback_value, -1.0f, 1.0f)),
      mix(clamp_to(mix_value, 0.0f, 1.0f)),
      lines(make_delay_lines(channels, ping_pong_line_length(delay_samples))),
      write_pos(0) {}

void PingPongDelayEffect::process(float* data, unsigned long long frames, int channels,
                                  unsigned long long block_size, unsigned int) {
    if (frames == 0 || channels < 1) {
        return;
    }
    const auto count_channels = static_cast<std::size_t>(channels);
    std::vector<float> dry(count_channels, 0.0f);
    std::vector<float> wet(count_channels, 0.0f);
    const float fb = feedback;
    const float wet_gain = mix;
    const float dry_gain = 1.0f - mix;
    const std::uint64_t length = lines[0].size();
    // Channels 0 and 1 take each other's echo; a mono buffer keeps its own.
    const bool crossed = channels != 1;
    // delay_samples is finite and at least 1 and write_pos is below a line length that fits
    // in memory, so the read position is finite and its floor fits a signed 64-bit count.
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* frame = data + start * count_channels;
        for (unsigned long long i = 0; i < count; ++i, frame += count_channels) {
            const float position = static_cast<float>(write_pos) - delay_samples;
            for (std::size_t k = 0; k < count_channels; ++k) {
                dry[k] = frame[k];
                wet[k] = read_interpolated(lines[k], position);
            }
            for (std::size_t k = 0; k < count_channels; ++k) {
                const float src = (crossed && k <= 1) ? wet[k ^ 1] : wet[k];
                frame[k] = wet_gain * src + dry[k] * dry_gain;
                lines[k][write_pos] = src * fb + dry[k];
            }
            ++write_pos;
            if (!(write_pos < length)) {
                write_pos = 0;
            }
        }
    });
}

EffectPtr make_delay_effect(const ParamReader& params, float sample_rate, int channels) {
    const float mix = params.read_float("mix", 0.2f);
    const float feedback = params.read_float("feedback", 0.35f);
    const float delay_ms = params.read_float("delay_ms", 150.0f);
    return std::make_unique<DelayEffect>(sample_rate, channels, delay_ms, mix, feedback);
}

EffectPtr make_ping_pong_delay_effect(const ParamReader& params, float sample_rate, int channels) {
    const float mix = params.read_float("mix", 0.3f);
    const float feedback = params.read_float("feedback", 0.55f);
    const float delay_ms = params.read_float("delay_ms", 180.0f);
    return std::make_unique<PingPongDelayEffect>(sample_rate, channels, delay_ms, mix, feedback);
}

}  // namespace kavri
