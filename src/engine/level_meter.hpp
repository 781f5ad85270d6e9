// The levels of a signal fed in chunks of interleaved frames, in one walk over each chunk:
// per channel the sample peak, the sum of squares (for the RMS), the samples at or above a
// clip level, NaN and infinite samples (counted, then measured as silence), the true peak
// (TruePeakMeter), and the sums of squares of the K-weighted signal over the 400 ms gating
// blocks (one every 100 ms) and over 100 ms segments, from which integrated, momentary and
// short-term loudness and the loudness range are worked out.
//
// The K-weighting runs in double precision over double samples, as the reference meters
// that loudness is checked against do: its high-pass sits at 38 Hz, where single precision
// would lose the low end, and an hour's sums need the width. Block and segment boundaries
// are written with the very products the reference writes, so each block holds the same
// samples. Every sum is taken sample after sample into the elementary interval between two
// boundaries, and a block's or segment's sum is the sum of its intervals in order, so the
// figures have the same bits however the signal is cut into chunks.
//
// A meter may start at an absolute frame (`first_frame`): it then measures an excerpt,
// with its filter state at rest there, and its blocks and segments keep their absolute
// indices (those begun before the excerpt hold only what of them lies inside it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "engine/memory_budget.hpp"
#include "engine/true_peak.hpp"

namespace kavri {

struct LevelMeterSettings {
    std::size_t channels = 1;
    double sample_rate = 48000.0;
    // b0, b1, b2, a1, a2 of the two K-weighting sections (a0 = 1, the passband gain in the
    // b's); empty: loudness is not measured, and there are no blocks or segments.
    std::vector<double> kweighting;
    // Magnitude at or above which a sample counts as clipped.
    double clip_level = 1.0;
    // Odd-phase taps of the true-peak meter's two half-band stages; empty: no true peak.
    std::vector<float> first;
    std::vector<float> second;
    std::uint64_t first_frame = 0;
};

class LevelMeter {
public:
    explicit LevelMeter(LevelMeterSettings settings);

    // Feeds `frames` interleaved frames of float or double samples.
    template <typename Sample>
    void add(const Sample* data, std::size_t frames);

    // What the meter's lists would newly allocate for `frames` more frames, and what it
    // takes at construction (scratch, true-peak histories), for the memory guard.
    [[nodiscard]] ByteCount growth_bytes(std::uint64_t frames) const;
    [[nodiscard]] static ByteCount fixed_bytes(const LevelMeterSettings& settings);

    [[nodiscard]] std::uint64_t frames() const { return frames_; }
    [[nodiscard]] const std::vector<double>& sample_peaks() const { return peak_; }
    [[nodiscard]] const std::vector<double>& squares() const { return squares_; }
    [[nodiscard]] std::uint64_t clipped() const { return clipped_; }
    [[nodiscard]] std::uint64_t nans() const { return nan_; }
    [[nodiscard]] std::uint64_t infinities() const { return inf_; }
    // The true peak of each channel, the signal followed by silence; empty without one.
    [[nodiscard]] std::vector<double> true_peaks() const;

    // The index of the first gating block, and the sums of squares of every block begun so
    // far (channels per block): finished blocks, then the open ones with what they hold.
    [[nodiscard]] std::uint64_t first_block() const { return first_block_; }
    [[nodiscard]] std::vector<double> block_sums() const;
    // The index of the first 100 ms segment, and the sums of squares and sample peaks of
    // every finished segment (channels per segment).
    [[nodiscard]] std::uint64_t first_segment() const { return first_segment_; }
    [[nodiscard]] const std::vector<double>& segment_sums() const { return segment_sums_; }
    [[nodiscard]] const std::vector<double>& segment_peaks() const { return segment_peaks_; }

private:
    [[nodiscard]] std::uint64_t block_lower(std::uint64_t j) const;
    [[nodiscard]] std::uint64_t block_upper(std::uint64_t j) const;
    [[nodiscard]] std::uint64_t segment_end(std::uint64_t m) const;
    void cross_boundaries();
    template <typename Sample>
    void walk(const Sample* data, std::size_t frames, std::size_t row);
    template <std::size_t Width, typename Sample>
    void walk_channels(const Sample* data, std::size_t frames, std::size_t row, std::size_t first);

    std::size_t channels_;
    double rate_;
    std::uint64_t whole_rate_;
    std::vector<double> kweighting_;
    double clip_level_;
    bool loudness_;
    std::unique_ptr<TruePeakMeter> true_peak_;

    std::uint64_t position_;  // absolute frame
    std::uint64_t frames_ = 0;
    std::vector<double> peak_;
    std::vector<double> squares_;
    std::uint64_t clipped_ = 0;
    std::uint64_t nan_ = 0;
    std::uint64_t inf_ = 0;

    std::vector<double> state_;     // z1, z2 of each section of each channel
    std::vector<double> interval_;  // K-weighted squares since the last boundary
    std::vector<double> segment_sum_;
    std::vector<double> segment_peak_;
    std::uint64_t first_block_ = 0;
    std::uint64_t oldest_open_ = 0;  // the oldest block not finished
    std::uint64_t next_open_ = 0;    // the next block to begin
    std::deque<std::vector<double>> open_;
    std::vector<double> blocks_;  // finished blocks
    std::uint64_t first_segment_ = 0;
    std::uint64_t segment_ = 0;  // the segment under way
    std::vector<double> segment_sums_;
    std::vector<double> segment_peaks_;
    std::uint64_t next_boundary_ = 0;

    std::vector<float> rows_;  // scratch: a piece's samples as rows, for the true peak
};

}  // namespace kavri
