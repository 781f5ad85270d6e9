#include "effects/filters/modulated_delay.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/filters/delay.hpp"
#include "engine/state_size.hpp"

namespace kavri {

namespace {

// Room for the longest swept delay plus 10 ms, plus 4 samples, and never fewer than 8.
std::uint64_t swept_line_length(float sample_rate, float depth_ms, float d) {
    const float samples = std::ceil((sample_rate * ((std::fabs(depth_ms) + d) + 10.0f)) / 1000.0f);
    const char* what = std::isnan(depth_ms) ? "The modulated delay length from \"depth_ms\""
                                            : "The modulated delay length from \"delay_ms\"";
    const std::uint64_t length = float_to_count(samples, what) + 4;
    return length < 8 ? 8 : length;
}

}  // namespace

ModulatedDelayEffect::ModulatedDelayEffect(float sample_rate_value, int channels, float delay_ms,
                                           float depth_ms, float rate_hz_value, float mix_value,
                                           float feedback_value, bool wet_only_value,
                                           float phase_step)
    : sample_rate(sample_rate_value), wet_only(wet_only_value), write_pos(0), frame_counter(0) {
    rate_hz = at_least(rate_hz_value, 0.01f);
    const float d = at_least(delay_ms, 0.001f);
    base_delay_samples = at_least((sample_rate * d) / 1000.0f, 1.0f);
    depth_samples = (sample_rate * depth_ms) / 1000.0f;
    mix = clamp_to(mix_value, 0.0f, 1.0f);
    feedback = clamp_to(feedback_value, -1.0f, 1.0f);
    lines = make_delay_lines(channels, swept_line_length(sample_rate, depth_ms, d));
    phase_offsets.resize(lines.size());
    for (std::size_t k = 0; k < phase_offsets.size(); ++k) {
        phase_offsets[k] = static_cast<float>(k) * phase_step;
    }
}

namespace {

// Frames whose sines are taken one chunk ahead of the lines.
constexpr unsigned long long kSweepChunk = 64;

// Everything one frame of the lines needs, copied into locals for the whole call.
struct SweptLines {
    float sample_rate;
    float angular_rate;
    float depth_samples;
    float base_delay_samples;
    float mix;
    float dry_gain;
    float feedback;
    std::int64_t length;

    // The common angle of frame n, recomputed from the count so that no rounding drifts.
    float angle(std::uint64_t n) const { return (static_cast<float>(n) / sample_rate) * angular_rate; }

    // Reads line at the swept delay of sine s, writes the frame's new sample at w, and returns
    // the output sample.
    template <bool WetOnly>
    float step(float* line, std::int64_t w, float s, float x) const {
        float delay = ((s + 1.0f) * 0.5f) * depth_samples + base_delay_samples;
        // Written so that a NaN sweep (from a NaN or infinite rate) becomes one sample too:
        // the read position below must stay finite.
        if (!(delay >= 1.0f)) {
            delay = 1.0f;
        }
        const float wet = read_interpolated(line, length, static_cast<float>(w) - delay);
        line[w] = wet * feedback + x;
        return WetOnly ? wet : mix * wet + dry_gain * x;
    }
};

// Runs frames [0, frames) of the call with the write index starting at w0 and the frame count
// at n0, and returns the write index after the last frame. Channels is the channel count, or 0 for a count known only at run
// time. Each channel's line is read before it is written and touches no other channel, so the
// channels of a frame run one after the other. While the lines run through one chunk, the sines
// of the next chunk are taken in the same loop: they do not depend on the lines, so the two
// overlap instead of taking turns.
template <int Channels, bool WetOnly>
std::int64_t run_swept(ModulatedDelayEffect& effect, const SweptLines& sweep, float* data,
                       unsigned long long frames, int channel_count, std::int64_t w0, std::uint64_t n0) {
    constexpr int kStack = Channels > 0 ? Channels : 1;
    const int channels = Channels > 0 ? Channels : channel_count;
    const auto stride = static_cast<std::size_t>(channels);
    float* stack_lines[kStack];
    float stack_offsets[kStack];
    float stack_sines[2][kSweepChunk * kStack];
    std::vector<float*> heap_lines;
    std::vector<float> heap_offsets;
    std::vector<float> heap_sines;
    float** lines = stack_lines;
    float* offsets = stack_offsets;
    float* sines[2] = {stack_sines[0], stack_sines[1]};
    if (Channels == 0) {
        heap_lines.resize(stride);
        heap_offsets.resize(stride);
        heap_sines.resize(2 * kSweepChunk * stride);
        lines = heap_lines.data();
        offsets = heap_offsets.data();
        sines[0] = heap_sines.data();
        sines[1] = heap_sines.data() + kSweepChunk * stride;
    }
    for (std::size_t k = 0; k < stride; ++k) {
        lines[k] = effect.lines[k].data();
        offsets[k] = effect.phase_offsets[k];
    }
    const auto take_sines = [&](float* out, std::uint64_t n) {
        const float g = sweep.angle(n);
        for (std::size_t k = 0; k < stride; ++k) {
            out[k] = std::sin(offsets[k] + g);
        }
    };
    std::int64_t w = w0;
    const auto run_frame = [&](float* frame, const float* s) {
        for (std::size_t k = 0; k < stride; ++k) {
            frame[k] = sweep.step<WetOnly>(lines[k], w, s[k], frame[k]);
        }
        ++w;
        if (!(w < sweep.length)) {
            w = 0;
        }
    };
    int current = 0;
    unsigned long long count = frames < kSweepChunk ? frames : kSweepChunk;
    for (unsigned long long j = 0; j < count; ++j) {
        take_sines(sines[current] + j * stride, n0 + j);
    }
    float* frame = data;
    for (unsigned long long done = 0; done < frames;) {
        const unsigned long long rest = frames - done - count;
        const unsigned long long next_count = rest < kSweepChunk ? rest : kSweepChunk;
        const std::uint64_t next_first = n0 + done + count;
        const float* now = sines[current];
        float* next = sines[1 - current];
        // next_count never exceeds count.
        unsigned long long i = 0;
        for (; i < next_count; ++i, frame += stride) {
            take_sines(next + i * stride, next_first + i);
            run_frame(frame, now + i * stride);
        }
        for (; i < count; ++i, frame += stride) {
            run_frame(frame, now + i * stride);
        }
        done += count;
        count = next_count;
        current = 1 - current;
    }
    return w;
}

template <bool WetOnly>
std::int64_t run_any_count(ModulatedDelayEffect& effect, const SweptLines& sweep, float* data,
                           unsigned long long frames, int channels, std::int64_t w0, std::uint64_t n0) {
    if (channels == 2) {
        return run_swept<2, WetOnly>(effect, sweep, data, frames, channels, w0, n0);
    }
    if (channels == 1) {
        return run_swept<1, WetOnly>(effect, sweep, data, frames, channels, w0, n0);
    }
    return run_swept<0, WetOnly>(effect, sweep, data, frames, channels, w0, n0);
}

}  // namespace

// Blocks only bound the walk and every frame's sweep comes from its own count, so the whole
// call runs as one walk: the result is the same for every block size.
void ModulatedDelayEffect::process(float* data, unsigned long long frames, int channels,
                                   unsigned long long, unsigned int) {
    if (frames == 0 || channels < 1) {
        return;
    }
    const SweptLines sweep{sample_rate,        rate_hz * kTwoPi, depth_samples, base_delay_samples, mix,
                           1.0f - mix,         feedback,         static_cast<std::int64_t>(lines[0].size())};
    // The write index is below a line length that fits in memory: as a signed count its
    // conversion to float is one instruction, and gives the same float.
    const auto w0 = static_cast<std::int64_t>(write_pos);
    const std::int64_t w = wet_only ? run_any_count<true>(*this, sweep, data, frames, channels, w0, frame_counter)
                                    : run_any_count<false>(*this, sweep, data, frames, channels, w0, frame_counter);
    write_pos = static_cast<std::uint64_t>(w);
    frame_counter += frames;
}

EffectPtr make_modulated_delay_effect(const ParamReader& params, float sample_rate, int channels,
                                      const ModulatedDelayDefaults& defaults, bool wet_only,
                                      float phase_step) {
    const float feedback = params.read_float("feedback", defaults.feedback);
    const float mix = params.read_float("mix", defaults.mix);
    const float rate_hz = params.read_float("rate_hz", defaults.rate_hz);
    const float depth_ms = params.read_float("depth_ms", defaults.depth_ms);
    const float delay_ms = params.read_float("delay_ms", defaults.delay_ms);
    return std::make_unique<ModulatedDelayEffect>(sample_rate, channels, delay_ms, depth_ms,
                                                  rate_hz, mix, feedback, wet_only, phase_step);
}

}  // namespace kavri
