#include "engine/level_meter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace kavri {

namespace {

// Frames taken at a time: the true-peak meter's rows of a piece stay in the cache.
constexpr std::size_t kPiece = 4096;

// The gating blocks: 400 ms, one every 100 ms, their bounds written as the reference
// meter writes them (the products rounded as it rounds them).
constexpr double kBlockSeconds = 0.4;
constexpr double kBlockStep = 0.25;  // 1 - 0.75 overlap, exact
constexpr std::uint64_t kSegmentsPerSecond = 10;

// The K-weighting's two sections: a high shelf and a high-pass.
constexpr std::size_t kSections = 2;

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// The most a meter takes: a signal's highest rate, and a first frame whose blocks and
// segments (ten a second, counted in frames) stay well within 64 bits. Past them the bounds
// of a block or segment no longer fit, and the search for the first one never ended.
constexpr double kMostRate = 2147483647.0;
constexpr std::uint64_t kMostFirstFrame = std::uint64_t{1} << 60;

// What a vector of doubles growing by `more` elements newly allocates (its growth doubles).
ByteCount vector_growth(const std::vector<double>& values, std::uint64_t more) {
    const std::uint64_t size = values.size();
    if (size + more <= values.capacity()) {
        return ByteCount(0);
    }
    return heap_array_bytes(std::max(size + more, 2 * size), sizeof(double));
}

}  // namespace

LevelMeter::LevelMeter(LevelMeterSettings settings)
    : channels_(settings.channels),
      rate_(settings.sample_rate),
      whole_rate_(0),
      kweighting_(std::move(settings.kweighting)),
      clip_level_(settings.clip_level),
      loudness_(!kweighting_.empty()),
      position_(settings.first_frame),
      peak_(channels_, 0.0),
      squares_(channels_, 0.0),
      state_(2 * kSections * channels_, 0.0),
      interval_(channels_, 0.0),
      segment_sum_(channels_, 0.0),
      segment_peak_(channels_, 0.0) {
    if (channels_ < 1) {
        throw std::invalid_argument("a level meter needs at least one channel");
    }
    if (!(rate_ > 0.0) || !std::isfinite(rate_)) {
        throw std::invalid_argument("a level meter needs a positive sample rate");
    }
    if (rate_ > kMostRate) {
        throw std::invalid_argument("a level meter takes sample rates up to 2147483647 Hz");
    }
    if (position_ > kMostFirstFrame) {
        throw std::invalid_argument("a level meter's first frame can be at most 2^60");
    }
    if (!kweighting_.empty() && kweighting_.size() != 5 * kSections) {
        throw std::invalid_argument("K-weighting takes two sections of five coefficients");
    }
    if (std::floor(rate_) == rate_ && rate_ < 1e15) {
        whole_rate_ = static_cast<std::uint64_t>(rate_);
    }
    if (!settings.first.empty()) {
        true_peak_ = std::make_unique<TruePeakMeter>(channels_, std::move(settings.first),
                                                     std::move(settings.second));
    }
    rows_.assign(channels_ * kPiece, 0.0F);
    if (!loudness_) {
        return;
    }
    // The first block is the first that ends after the first frame; those begun before it
    // are open from the start, holding only what lies inside the excerpt.
    const std::uint64_t start = position_;
    const double seconds = static_cast<double>(start) / rate_;
    std::uint64_t j = seconds > 1.0 ? static_cast<std::uint64_t>(seconds * 10.0) - 6 : 0;
    while (j > 0 && block_upper(j - 1) > start) {
        --j;
    }
    while (block_upper(j) <= start) {
        ++j;
    }
    first_block_ = oldest_open_ = next_open_ = j;
    while (block_lower(next_open_) < start) {
        open_.emplace_back(channels_, 0.0);
        ++next_open_;
    }
    std::uint64_t m = seconds > 1.0 ? static_cast<std::uint64_t>(seconds * 10.0) - 2 : 0;
    while (m > 0 && segment_end(m - 1) > start) {
        --m;
    }
    while (segment_end(m) <= start) {
        ++m;
    }
    first_segment_ = segment_ = m;
    cross_boundaries();
}

std::uint64_t LevelMeter::block_lower(std::uint64_t j) const {
    return static_cast<std::uint64_t>(kBlockSeconds * (static_cast<double>(j) * kBlockStep) *
                                      rate_);
}

std::uint64_t LevelMeter::block_upper(std::uint64_t j) const {
    return static_cast<std::uint64_t>(kBlockSeconds * (static_cast<double>(j) * kBlockStep + 1.0) *
                                      rate_);
}

std::uint64_t LevelMeter::segment_end(std::uint64_t m) const {
    if (whole_rate_ != 0) {
        return ((m + 1) * whole_rate_) / kSegmentsPerSecond;
    }
    return static_cast<std::uint64_t>(static_cast<double>(m + 1) * rate_ /
                                      static_cast<double>(kSegmentsPerSecond));
}

void LevelMeter::cross_boundaries() {
    // The interval ending here belongs to every open block and to the segment under way.
    for (std::vector<double>& block : open_) {
        for (std::size_t c = 0; c < channels_; ++c) {
            block[c] += interval_[c];
        }
    }
    for (std::size_t c = 0; c < channels_; ++c) {
        segment_sum_[c] += interval_[c];
        interval_[c] = 0.0;
    }
    while (!open_.empty() && block_upper(oldest_open_) <= position_) {
        blocks_.insert(blocks_.end(), open_.front().begin(), open_.front().end());
        open_.pop_front();
        ++oldest_open_;
    }
    while (block_lower(next_open_) <= position_) {
        open_.emplace_back(channels_, 0.0);
        ++next_open_;
    }
    while (segment_end(segment_) <= position_) {
        segment_sums_.insert(segment_sums_.end(), segment_sum_.begin(), segment_sum_.end());
        segment_peaks_.insert(segment_peaks_.end(), segment_peak_.begin(), segment_peak_.end());
        std::fill(segment_sum_.begin(), segment_sum_.end(), 0.0);
        std::fill(segment_peak_.begin(), segment_peak_.end(), 0.0);
        ++segment_;
    }
    next_boundary_ = std::min({open_.empty() ? kNever : block_upper(oldest_open_),
                               block_lower(next_open_), segment_end(segment_)});
}

namespace {

// One channel's running figures and K-weighting state, kept in locals for a walk.
struct ChannelRun {
    double peak;
    double squares;
    double segment_peak;
    double interval;
    double z[kSections][2];
};

}  // namespace

// `Width` channels walked side by side, frame by frame: their filters' recurrences are
// independent and overlap in the processor.
template <std::size_t Width, typename Sample>
void LevelMeter::walk_channels(const Sample* data, std::size_t frames, std::size_t row,
                               std::size_t first) {
    const std::size_t stride = channels_;
    const double* k = kweighting_.data();
    ChannelRun runs[Width];
    for (std::size_t w = 0; w < Width; ++w) {
        const std::size_t c = first + w;
        runs[w].peak = peak_[c];
        runs[w].squares = squares_[c];
        runs[w].segment_peak = segment_peak_[c];
        runs[w].interval = interval_[c];
        for (std::size_t s = 0; s < kSections; ++s) {
            runs[w].z[s][0] = state_[2 * (kSections * c + s)];
            runs[w].z[s][1] = state_[2 * (kSections * c + s) + 1];
        }
    }
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t w = 0; w < Width; ++w) {
            ChannelRun& run = runs[w];
            double value = static_cast<double>(data[i * stride + first + w]);
            if (!std::isfinite(value)) {
                // Counted, then measured as silence: one bad sample would otherwise poison
                // every filter state after it.
                if (std::isnan(value)) {
                    ++nan_;
                } else {
                    ++inf_;
                    ++clipped_;
                }
                value = 0.0;
            }
            const double size = std::fabs(value);
            if (size >= clip_level_) {
                ++clipped_;
            }
            run.peak = std::max(run.peak, size);
            run.segment_peak = std::max(run.segment_peak, size);
            run.squares += value * value;
            rows_[(first + w) * kPiece + row + i] = static_cast<float>(value);
            if (loudness_) {
                // Transposed direct form II, section after section; b1 x + z2 is added
                // before the feedback term, which keeps the feedback's chain short.
                double y = value;
                for (std::size_t s = 0; s < kSections; ++s) {
                    const double* c = k + 5 * s;
                    const double x = y;
                    y = c[0] * x + run.z[s][0];
                    run.z[s][0] = (c[1] * x + run.z[s][1]) - c[3] * y;
                    run.z[s][1] = c[2] * x - c[4] * y;
                }
                run.interval += y * y;
            }
        }
    }
    for (std::size_t w = 0; w < Width; ++w) {
        const std::size_t c = first + w;
        peak_[c] = runs[w].peak;
        squares_[c] = runs[w].squares;
        segment_peak_[c] = runs[w].segment_peak;
        interval_[c] = runs[w].interval;
        for (std::size_t s = 0; s < kSections; ++s) {
            state_[2 * (kSections * c + s)] = runs[w].z[s][0];
            state_[2 * (kSections * c + s) + 1] = runs[w].z[s][1];
        }
    }
}

template <typename Sample>
void LevelMeter::walk(const Sample* data, std::size_t frames, std::size_t row) {
    std::size_t c = 0;
    for (; c + 2 <= channels_; c += 2) {
        walk_channels<2>(data, frames, row, c);
    }
    if (c < channels_) {
        walk_channels<1>(data, frames, row, c);
    }
}

template <typename Sample>
void LevelMeter::add(const Sample* data, std::size_t frames) {
    std::size_t done = 0;
    while (done < frames) {
        const std::size_t piece = std::min(kPiece, frames - done);
        std::size_t i = 0;
        while (i < piece) {
            std::size_t span = piece - i;
            if (loudness_) {
                span = static_cast<std::size_t>(
                    std::min<std::uint64_t>(span, next_boundary_ - position_));
            }
            walk(data + (done + i) * channels_, span, i);
            position_ += span;
            frames_ += span;
            i += span;
            if (loudness_ && position_ == next_boundary_) {
                cross_boundaries();
            }
        }
        if (true_peak_) {
            true_peak_->add(rows_.data(), piece, kPiece);
        }
        done += piece;
    }
}

template void LevelMeter::add<float>(const float* data, std::size_t frames);
template void LevelMeter::add<double>(const double* data, std::size_t frames);

std::vector<double> LevelMeter::true_peaks() const {
    return true_peak_ ? true_peak_->peaks() : std::vector<double>{};
}

std::vector<double> LevelMeter::block_sums() const {
    std::vector<double> sums = blocks_;
    for (const std::vector<double>& block : open_) {
        for (std::size_t c = 0; c < channels_; ++c) {
            sums.push_back(block[c] + interval_[c]);
        }
    }
    return sums;
}

ByteCount LevelMeter::growth_bytes(std::uint64_t frames) const {
    if (!loudness_) {
        return ByteCount(0);
    }
    // At most one block and one segment begins every tenth of a second, and one more of
    // each may end at once.
    const double tenths = static_cast<double>(frames) / rate_ * 10.0 + 2.0;
    const std::uint64_t count =
        tenths < 1e15 ? static_cast<std::uint64_t>(tenths) : ByteCount::kUnbounded / 64;
    const std::uint64_t more = count * channels_;
    ByteCount bytes = vector_growth(blocks_, more);
    bytes += vector_growth(segment_sums_, more);
    bytes += vector_growth(segment_peaks_, more);
    // A copy of the blocks for block_sums().
    bytes += heap_array_bytes(blocks_.size() + more + 8 * channels_, sizeof(double));
    return bytes;
}

ByteCount LevelMeter::fixed_bytes(const LevelMeterSettings& settings) {
    const std::uint64_t channels = settings.channels;
    ByteCount bytes = heap_array_bytes(channels * kPiece, sizeof(float));
    bytes += heap_arrays_bytes(6, channels, sizeof(double));
    bytes += heap_array_bytes(channels * settings.kweighting.size(), sizeof(double));
    if (!settings.first.empty()) {
        bytes += TruePeakMeter::fixed_bytes(settings.channels, settings.first.size(),
                                            settings.second.size());
    }
    return bytes;
}

}  // namespace kavri
