#include "engine/true_peak.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace kavri {

namespace {

// Frames taken at a time, so that a stage's input and output stay in the cache.
constexpr std::size_t kPiece = 4096;

// A parabola can lift a maximum of the 4x grid by at most 0.6 dB (a sine at half the rate):
// maxima below this share of the peak so far cannot pass it and are not fitted.
constexpr float kFitShare = 0.9F;

// Values of the 4x grid screened at a time: a run with none that could be fitted is passed
// over after one vectorised test.
constexpr std::size_t kScanRun = 64;

// out[j] = sum over k of taps[k] * in[j + k], each sum in the order of k. Outputs are taken
// kBlock at a time, their sums held in registers over all the taps, so that the loop
// vectorises without reordering any sum; built for AVX2 as well where the processor has it
// (the same sums, only wider).
constexpr std::size_t kBlock = 32;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void dot_windows(const float* in, const float* taps, std::size_t count, std::size_t outputs,
                 float* out) {
    std::size_t j = 0;
    for (; j + kBlock <= outputs; j += kBlock) {
        float sums[kBlock] = {};
        for (std::size_t k = 0; k < count; ++k) {
            const float tap = taps[k];
            const float* from = in + j + k;
            for (std::size_t r = 0; r < kBlock; ++r) {
                sums[r] += tap * from[r];
            }
        }
        std::copy(sums, sums + kBlock, out + j);
    }
    for (; j < outputs; ++j) {
        float sum = 0.0F;
        for (std::size_t k = 0; k < count; ++k) {
            sum += taps[k] * in[j + k];
        }
        out[j] = sum;
    }
}

// Whether any of `count` values reaches `threshold` in magnitude.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
bool any_at_least(const float* values, std::size_t count, float threshold) {
    unsigned any = 0U;
    for (std::size_t i = 0; i < count; ++i) {
        any |= static_cast<unsigned>(std::fabs(values[i]) >= threshold);
    }
    return any != 0U;
}

void check_taps(const std::vector<float>& taps) {
    if (taps.empty() || taps.size() % 2 != 0) {
        throw std::invalid_argument("half-band taps must be a non-empty, even count");
    }
}

}  // namespace

ByteCount TruePeakMeter::fixed_bytes(std::size_t channels, std::size_t first_taps,
                                     std::size_t second_taps) {
    const std::uint64_t history = std::uint64_t{first_taps} + second_taps;
    // A vector grown by a piece may take twice what it holds.
    ByteCount bytes =
        heap_arrays_bytes(2 * std::uint64_t{channels}, 2 * (history + 2 * kPiece), sizeof(float));
    bytes += ByteCount::product(channels, sizeof(Channel));
    bytes += heap_array_bytes(2 * kPiece, sizeof(float));
    bytes += heap_array_bytes(4 * kPiece, sizeof(float));
    return bytes;
}

TruePeakMeter::TruePeakMeter(std::size_t channels, std::vector<float> first,
                             std::vector<float> second)
    : first_(std::move(first)), second_(std::move(second)), channels_(channels) {
    check_taps(first_);
    check_taps(second_);
    for (Channel& channel : channels_) {
        channel.input.assign(first_.size() - 1, 0.0F);
        channel.twice.assign(second_.size() - 1, 0.0F);
    }
}

void TruePeakMeter::add(const float* rows, std::size_t frames, std::size_t stride) {
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        const float* samples = rows + c * stride;
        for (std::size_t start = 0; start < frames; start += kPiece) {
            add_channel(channels_[c], samples + start, std::min(kPiece, frames - start));
        }
    }
}

void TruePeakMeter::add_channel(Channel& channel, const float* samples, std::size_t frames) {
    // First stage: the value between input samples i + half - 1 and i + half of the buffer.
    const std::size_t first_history = first_.size() - 1;
    const std::size_t first_half = first_.size() / 2;
    channel.input.insert(channel.input.end(), samples, samples + frames);
    mids_.resize(frames);
    dot_windows(channel.input.data(), first_.data(), first_.size(), frames, mids_.data());
    const std::size_t twice_start = channel.twice.size();
    channel.twice.resize(twice_start + 2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        channel.twice[twice_start + 2 * i] = channel.input[i + first_half - 1];
        channel.twice[twice_start + 2 * i + 1] = mids_[i];
    }
    channel.input.erase(channel.input.begin(),
                        channel.input.end() - static_cast<std::ptrdiff_t>(first_history));

    // Second stage, over the 2x values, in the same way.
    const std::size_t second_history = second_.size() - 1;
    const std::size_t second_half = second_.size() / 2;
    const std::size_t doubled = 2 * frames;
    mids_.resize(doubled);
    dot_windows(channel.twice.data(), second_.data(), second_.size(), doubled, mids_.data());
    grid_.resize(2 * doubled);
    for (std::size_t i = 0; i < doubled; ++i) {
        grid_[2 * i] = channel.twice[i + second_half - 1];
        grid_[2 * i + 1] = mids_[i];
    }
    channel.twice.erase(channel.twice.begin(),
                        channel.twice.end() - static_cast<std::ptrdiff_t>(second_history));
    scan(channel, grid_.data(), grid_.size());
}

void TruePeakMeter::scan(Channel& channel, const float* values, std::size_t count) const {
    float before_last = channel.before_last;
    float last = channel.last;
    double peak = channel.peak;
    for (std::size_t start = 0; start < count; start += kScanRun) {
        const std::size_t run = std::min(kScanRun, count - start);
        const float* run_values = values + start;
        const float threshold = kFitShare * static_cast<float>(peak);
        if (std::fabs(last) < threshold && !any_at_least(run_values, run, threshold)) {
            // No value of the run can be fitted: only the last two are carried on.
            before_last = run >= 2 ? run_values[run - 2] : last;
            last = run_values[run - 1];
            continue;
        }
        for (std::size_t i = 0; i < run; ++i) {
            const float value = run_values[i];
            const float size = std::fabs(last);
            if (size >= kFitShare * static_cast<float>(peak) && size >= std::fabs(before_last) &&
                size >= std::fabs(value)) {
                // The parabola through the maximum and its neighbours, turned so that it
                // opens downwards; its vertex is the peak between them.
                const double sign = last < 0.0F ? -1.0 : 1.0;
                const double a = sign * before_last;
                const double b = sign * last;
                const double c = sign * value;
                const double curve = a - 2.0 * b + c;
                double top = b;
                if (curve < 0.0) {
                    top = b - (a - c) * (a - c) / (8.0 * curve);
                }
                peak = std::max(peak, top);
            }
            before_last = last;
            last = value;
        }
    }
    channel.before_last = before_last;
    channel.last = last;
    channel.peak = peak;
}

std::vector<double> TruePeakMeter::peaks() const {
    // Silence after the signal carries its last samples through both stages.
    TruePeakMeter finished = *this;
    const std::vector<float> silence(first_.size() + second_.size(), 0.0F);
    for (Channel& channel : finished.channels_) {
        finished.add_channel(channel, silence.data(), silence.size());
    }
    std::vector<double> result;
    result.reserve(finished.channels_.size());
    for (const Channel& channel : finished.channels_) {
        result.push_back(channel.peak);
    }
    return result;
}

}  // namespace kavri
