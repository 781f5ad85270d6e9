// The true peak of a signal fed in chunks: the highest magnitude of the signal between its
// samples, as a reconstruction filter would put it out.
//
// Each channel is oversampled four times by two half-band stages. Each stage keeps every
// sample and puts one new value between each two neighbours: the dot product of the odd
// taps of a half-band low-pass (given by the caller, symmetric) with the samples around the
// gap. Between the points of the 4x grid a peak is found by a parabola through a local
// maximum and its two neighbours, which reads a sine within 0.05 dB of its crest up to 0.45
// of the sample rate; only maxima that could pass the peak found so far are fitted. Every
// value depends only on the samples before and after it, each sum taken in the same order,
// so the result has the same bits however the signal is cut into chunks. The signal is
// taken to be preceded by silence, and peaks() to be followed by it.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/memory_budget.hpp"

namespace kavri {

class TruePeakMeter {
public:
    // The most a meter of `channels` channels and half-band stages of these tap counts
    // holds: what it is made with and what its adds grow to (each channel's histories with
    // room for a piece at each rate, and the scratch of the values between samples and of
    // the 4x grid).
    [[nodiscard]] static ByteCount fixed_bytes(std::size_t channels, std::size_t first_taps,
                                               std::size_t second_taps);

    // `first` and `second` are the odd-phase taps of the 2x and 4x half-band stages (even
    // counts, symmetric, each summing to 1).
    TruePeakMeter(std::size_t channels, std::vector<float> first, std::vector<float> second);

    // Feeds `frames` frames: channel c's samples start at rows + c * stride.
    void add(const float* rows, std::size_t frames, std::size_t stride);

    // The true peak of each channel so far, the signal followed by silence (the meter itself
    // is left as it is).
    [[nodiscard]] std::vector<double> peaks() const;

    [[nodiscard]] std::size_t channels() const { return channels_.size(); }

private:
    struct Channel {
        std::vector<float> input;  // the first stage's history, then the new samples
        std::vector<float> twice;  // the second stage's history, then the new 2x samples
        float before_last = 0.0F;  // the last two 4x values
        float last = 0.0F;
        double peak = 0.0;
    };

    void add_channel(Channel& channel, const float* samples, std::size_t frames);
    void scan(Channel& channel, const float* values, std::size_t count) const;

    std::vector<float> first_;
    std::vector<float> second_;
    std::vector<Channel> channels_;
    std::vector<float> mids_;  // scratch: the values between samples
    std::vector<float> grid_;  // scratch: the 4x values of a piece
};

}  // namespace kavri
