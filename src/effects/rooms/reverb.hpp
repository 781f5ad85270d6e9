// An algorithmic reverb: the tail of a room from eight feedback delay lines.
//
// The input channels are averaged, delayed by `pre_delay_ms`, and smeared by four short
// all-pass diffusers before they enter eight delay lines. Each line's output passes a
// one-pole low-pass (`damping`: 0 none, 1 the most; high frequencies then die away sooner),
// then the gain that makes a round trip of its length lose 60 dB in the room's decay time;
// the eight are mixed by a Householder reflection (each less a quarter of their sum, which
// loses no energy) and written back with the input added. `room_size` (0 to 1) lengthens
// the lines (0.4 to 2 times their base lengths, each the next prime at or above its target,
// so that no two share a factor and their echoes do not pile up) and the decay time (0.2 s
// to 8 s, 0.2 x 40^room_size). Two orthogonal sign patterns over the lines give a left and a
// right wet signal; `width` (0 to 1) blends them from mono to full stereo. Even channels
// take the left wet signal, odd ones the right. `mix` is the wet share: out = in x (1 - mix)
// + wet x mix. Undamped, each channel of the wet impulse response at full width has about
// unit energy whatever the room (half at width 0); damping takes more the longer the room.
//
// All in single precision, sample after sample in a fixed order, so the output does not
// depend on how the signal is cut into chunks.
#pragma once

#include <array>
#include <cstddef>
#include <vector>

namespace kavri {

class ReverbEffect {
public:
    static constexpr int kLines = 8;
    static constexpr int kDiffusers = 4;
    // The longest pre-delay, as the chain's catalogue bounds it.
    static constexpr float kLongestPreDelayMs = 500.0F;

    // Throws std::invalid_argument, naming the first setting that is not finite or lies
    // outside its range: room_size, damping, width and mix in [0, 1], pre_delay_ms in
    // [0, kLongestPreDelayMs]. The lengths of the lines are whole frames made from them.
    static void check_settings(float room_size, float damping, float pre_delay_ms, float width,
                               float mix);

    // The settings must pass check_settings.
    ReverbEffect(float sample_rate, int channels, float room_size, float damping,
                 float pre_delay_ms, float width, float mix);

    // The bytes an effect of these settings keeps (its delay lines); the settings must pass
    // check_settings.
    static std::size_t memory_bytes(float sample_rate, float room_size, float pre_delay_ms);

    // Runs `frames` interleaved frames of `in` into `out` (which may be `in`).
    void process(const float* in, float* out, std::size_t frames);
    void reset();

    [[nodiscard]] int channels() const { return channels_; }
    [[nodiscard]] const std::array<std::size_t, kLines>& lengths() const { return lengths_; }
    [[nodiscard]] float decay_seconds() const { return decay_seconds_; }

private:
    struct Line {
        std::vector<float> buffer;
        std::size_t position = 0;
    };

    int channels_;
    float inverse_channels_;
    float damping_;
    float keep_;  // 1 - damping coefficient
    float input_gain_;
    float left_share_;
    float right_share_;
    float mix_;
    float dry_;
    float decay_seconds_;
    std::array<std::size_t, kLines> lengths_{};
    std::array<float, kLines> gains_{};
    std::array<float, kLines> lowpass_{};
    std::array<Line, kLines> lines_;
    std::array<Line, kDiffusers> diffusers_;
    Line pre_delay_;
};

}  // namespace kavri
