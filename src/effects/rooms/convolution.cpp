#include "effects/rooms/convolution.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "engine/memory_budget.hpp"
#include "engine/parallel.hpp"

namespace kavri {

namespace {

constexpr std::size_t kSmallestPartition = 256;
constexpr std::size_t kLargestPartition = 8192;
// Bins of the spectral sums taken through every partition at a time: 8 KiB of sums.
constexpr std::size_t kBinChunk = 1024;

// sums += x times h, bin by bin, in a function of its own with restrict parameters so that
// it runs in vectors; built for SSE2 and AVX2, the same operations in every lane.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((noinline, target_clones("avx512f", "avx2", "default")))
#endif
void multiply_add(const float* __restrict xr, const float* __restrict xi,
                  const float* __restrict hr, const float* __restrict hi, float* __restrict sr,
                  float* __restrict si, std::size_t bins) {
    for (std::size_t k = 0; k < bins; ++k) {
        sr[k] = sr[k] + (xr[k] * hr[k] - xi[k] * hi[k]);
        si[k] = si[k] + (xr[k] * hi[k] + xi[k] * hr[k]);
    }
}

// out[i stride] = dry[i] times keep + wet[i] times mix; mono (stride 1) in its own loop so
// that it runs in vectors.
void mix_into(float* out, std::size_t stride, const float* dry, const float* wet, float keep,
              float mix, std::size_t count) {
    if (stride == 1) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = dry[i] * keep + wet[i] * mix;
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[i * stride] = dry[i] * keep + wet[i] * mix;
    }
}

// The wet share, refused unless within [0, 1] (NaN fails both comparisons).
float checked_mix(float mix) {
    if (!(mix >= 0.0F) || !(mix <= 1.0F)) {
        char text[64];
        std::snprintf(text, sizeof(text), "convolution: mix must be within 0 and 1, got %g",
                      static_cast<double>(mix));
        throw std::invalid_argument(text);
    }
    return mix;
}

// cur[i] = in[i stride] for count frames of one channel.
void take_channel(float* cur, const float* in, std::size_t stride, std::size_t count) {
    if (stride == 1) {
        std::memcpy(cur, in, count * sizeof(float));
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        cur[i] = in[i * stride];
    }
}

std::size_t partitions_for(std::size_t response_frames, std::size_t block) {
    return std::max<std::size_t>(1, (response_frames + block - 1) / block);
}

}  // namespace

std::size_t ConvolutionEffect::partition_for(std::size_t response_frames) {
    const std::size_t quarter = (response_frames + 3) / 4;
    std::size_t block = kSmallestPartition;
    while (block < quarter && block < kLargestPartition) {
        block *= 2;
    }
    return block;
}

std::size_t ConvolutionEffect::memory_bytes(std::size_t response_frames, int response_channels,
                                            int channels, std::size_t partition, bool with_state) {
    const std::size_t parts = partitions_for(response_frames, partition);
    const std::size_t bins = partition + 1;
    const auto count = with_state ? static_cast<std::size_t>(channels) : std::size_t{0};
    const auto responses = static_cast<std::size_t>(response_channels);
    // Saturating: a response of a billion frames on two billion channels passes 2^64 bytes.
    ByteCount bytes = ByteCount::product(responses + count, parts * bins * 2 * sizeof(float));
    const std::size_t per_channel = (std::size_t{6} * partition + 2 * bins) * sizeof(float);
    bytes += ByteCount(count * per_channel + RealFft::table_bytes(2 * partition));
    return bytes.bytes();
}

ConvolutionEffect::ConvolutionEffect(const float* response, std::size_t response_frames,
                                     int response_channels, int channels,
                                     std::vector<ConvolutionPath> paths, std::size_t partition,
                                     float mix, bool normalize, bool with_state)
    : channels_(channels),
      paths_(std::move(paths)),
      block_(partition),
      bins_(partition + 1),
      partitions_(partitions_for(response_frames, partition)),
      mix_(checked_mix(mix)),
      dry_(1.0F - mix),
      fft_(RealFft::shared(2 * partition)) {
    for (const ConvolutionPath& path : paths_) {
        if (path.input < 0 || path.input >= channels || path.output < 0 ||
            path.output >= channels || path.response < 0 || path.response >= response_channels) {
            throw std::invalid_argument("convolution: a path names a channel that is not there");
        }
        coupled_ = coupled_ || path.input != path.output;
    }
    // Paths in the order given, grouped by output channel, so each output adds its own.
    std::vector<ConvolutionPath> grouped;
    grouped.reserve(paths_.size());
    for (int output = 0; output < channels; ++output) {
        for (const ConvolutionPath& path : paths_) {
            if (path.output == output) {
                grouped.push_back(path);
            }
        }
    }
    paths_ = std::move(grouped);
    const auto responses = static_cast<std::size_t>(response_channels);
    if (normalize) {
        std::vector<double> energy(responses, 0.0);
        for (std::size_t i = 0; i < response_frames; ++i) {
            for (std::size_t r = 0; r < responses; ++r) {
                const double v = response[i * responses + r];
                energy[r] += v * v;
            }
        }
        double total = 0.0;
        for (const ConvolutionPath& path : paths_) {
            total += energy[static_cast<std::size_t>(path.response)];
        }
        const double mean = total / static_cast<double>(channels);
        if (mean > 0.0 && std::isfinite(mean)) {
            gain_ = 1.0 / std::sqrt(mean);
        }
    }
    // The transforms are unnormalised (see RealFft): the response takes 1 / (4 N).
    const double exact_scale = gain_ / (8.0 * static_cast<double>(block_));
    const auto scale = static_cast<float>(exact_scale);
    // The gain of a response whose samples lie near the least or the greatest float can
    // make a scale that is subnormal (its precision lost) or infinite (a silent response
    // would give NaN): such a scale is applied in double, every other one in single.
    const bool single = std::isnormal(scale);
    const std::size_t size = 2 * block_;
    auto spectra = std::make_shared<Spectra>();
    // Every bin of every partition is written by its transform.
    const std::size_t count = responses * partitions_ * bins_;
    spectra->block = KeptBlock(2 * count);
    spectra->re = spectra->block.get();
    spectra->im = spectra->re + count;
    const KeptBlock scratch(2 * size);
    float* time = scratch.get();
    float* work = time + size;
    for (std::size_t r = 0; r < responses; ++r) {
        for (std::size_t p = 0; p < partitions_; ++p) {
            std::fill(time, time + size, 0.0F);
            const std::size_t first = p * block_;
            const std::size_t last = std::min(response_frames, first + block_);
            for (std::size_t i = first; i < last; ++i) {
                const float sample = response[i * responses + r];
                time[i - first] =
                    single ? sample * scale : static_cast<float>(sample * exact_scale);
            }
            const std::size_t at = (r * partitions_ + p) * bins_;
            fft_->forward(time, spectra->re + at, spectra->im + at, work);
        }
    }
    response_ = std::move(spectra);
    if (with_state) {
        allocate_state();
    }
}

ConvolutionEffect::ConvolutionEffect(const ConvolutionEffect& prototype, float mix)
    : channels_(prototype.channels_),
      paths_(prototype.paths_),
      block_(prototype.block_),
      bins_(prototype.bins_),
      partitions_(prototype.partitions_),
      mix_(checked_mix(mix)),
      dry_(1.0F - mix),
      gain_(prototype.gain_),
      coupled_(prototype.coupled_),
      fft_(prototype.fft_),
      response_(prototype.response_) {
    allocate_state();
}

std::size_t ConvolutionEffect::state_bytes() const {
    const auto count = static_cast<std::size_t>(channels_);
    return count * (partitions_ * bins_ * 2 + std::size_t{6} * block_ + 2 * bins_) * sizeof(float);
}

void ConvolutionEffect::allocate_state() {
    const auto count = static_cast<std::size_t>(channels_);
    const std::size_t size = 2 * block_;
    const std::size_t spectra = count * partitions_ * bins_;
    state_ = KeptBlock(state_bytes() / sizeof(float));
    input_re_ = state_.get();
    input_im_ = input_re_ + spectra;
    frames_ = input_im_ + spectra;
    sums_ = frames_ + count * size;
    time_ = sums_ + count * 2 * bins_;
    work_ = time_ + count * size;
    std::fill(frames_, frames_ + count * size, 0.0F);
}

void ConvolutionEffect::reset() {
    const auto count = static_cast<std::size_t>(channels_);
    std::fill(frames_, frames_ + count * 2 * block_, 0.0F);
    fill_ = 0;
    block_count_ = 0;
}

float* ConvolutionEffect::kept_block(int channel, std::size_t blocks) const {
    return frames_ + (static_cast<std::size_t>(channel) * 2 + blocks % 2) * block_;
}

void ConvolutionEffect::transform_input(int channel, std::size_t blocks, const float* previous,
                                        const float* current) {
    const auto c = static_cast<std::size_t>(channel);
    const std::size_t slot = blocks % partitions_;
    const std::size_t at = (c * partitions_ + slot) * bins_;
    fft_->forward(previous, current, input_re_ + at, input_im_ + at, work_ + c * 2 * block_);
}

void ConvolutionEffect::convolve_output(int channel, float* out, std::size_t count,
                                        std::size_t blocks, const float* dry) {
    const auto o = static_cast<std::size_t>(channel);
    float* sum_re = sums_ + o * 2 * bins_;
    float* sum_im = sum_re + bins_;
    const std::size_t reach = std::min(partitions_, blocks + 1);
    // Bin by bin, the products are added in the order of the paths and the partitions; the
    // bins go in chunks, so that a chunk's sums stay in the first-level cache through all of
    // them instead of being read and written once per partition.
    for (std::size_t first = 0; first < bins_; first += kBinChunk) {
        const std::size_t count_bins = std::min(kBinChunk, bins_ - first);
        std::fill(sum_re + first, sum_re + first + count_bins, 0.0F);
        std::fill(sum_im + first, sum_im + first + count_bins, 0.0F);
        for (const ConvolutionPath& path : paths_) {
            if (path.output != channel) {
                continue;
            }
            for (std::size_t p = 0; p < reach; ++p) {
                const std::size_t slot = (blocks - p) % partitions_;
                const std::size_t in_at =
                    (static_cast<std::size_t>(path.input) * partitions_ + slot) * bins_ + first;
                const std::size_t h_at =
                    (static_cast<std::size_t>(path.response) * partitions_ + p) * bins_ + first;
                multiply_add(input_re_ + in_at, input_im_ + in_at, response_->re + h_at,
                             response_->im + h_at, sum_re + first, sum_im + first, count_bins);
            }
        }
    }
    // Overlap-save: the output is the upper half of the inverse transform.
    float* time = time_ + o * 2 * block_;
    float* work = work_ + o * 2 * block_;
    const auto stride = static_cast<std::size_t>(channels_);
    if (dry_ == 0.0F && stride == 1) {
        fft_->inverse_upper(sum_re, sum_im, out, count, time, work);
        return;
    }
    const float* wet = time;
    fft_->inverse_upper(sum_re, sum_im, time, count, time, work);
    if (dry_ == 0.0F) {
        for (std::size_t i = 0; i < count; ++i) {
            out[i * stride + o] = wet[i];
        }
    } else {
        mix_into(out + o, stride, dry, wet, dry_, mix_, count);
    }
}

void ConvolutionEffect::run_block(float* out, std::size_t count, unsigned int workers) {
    const std::size_t blocks = block_count_;
    parallel_for_channels(channels_, workers, [&](int first, int last) {
        for (int c = first; c < last; ++c) {
            transform_input(c, blocks, kept_block(c, blocks + 1), kept_block(c, blocks));
        }
    });
    parallel_for_channels(channels_, workers, [&](int first, int last) {
        for (int c = first; c < last; ++c) {
            convolve_output(c, out, count, blocks, kept_block(c, blocks));
        }
    });
    ++block_count_;
}

void ConvolutionEffect::process_channel(int channel, const float* in, std::size_t frames,
                                        float* out) {
    const auto c = static_cast<std::size_t>(channel);
    const auto stride = static_cast<std::size_t>(channels_);
    // A mono chunk's whole blocks are read in place, unless the output overlaps the input
    // (a block's output would overwrite the frames the next block reads as its previous).
    const auto at = [](const float* p) { return reinterpret_cast<std::uintptr_t>(p); };
    const std::size_t out_bytes = released_by(frames) * sizeof(float);
    const std::size_t in_bytes = frames * sizeof(float);
    const bool in_place =
        stride == 1 && (at(out) + out_bytes <= at(in) || at(in) + in_bytes <= at(out));
    std::size_t fill = fill_;
    std::size_t blocks = block_count_;
    const float* previous = kept_block(channel, blocks + 1);
    std::size_t done = 0;
    std::size_t written = 0;
    while (done < frames) {
        const float* current = nullptr;
        if (in_place && fill == 0 && frames - done >= block_) {
            current = in + done;
            done += block_;
            fill = block_;
        } else {
            float* kept = kept_block(channel, blocks);
            const std::size_t take = std::min(block_ - fill, frames - done);
            take_channel(kept + fill, in + done * stride + c, stride, take);
            fill += take;
            done += take;
            current = kept;
        }
        if (fill == block_) {
            transform_input(channel, blocks, previous, current);
            convolve_output(channel, out + written * stride, block_, blocks, current);
            previous = current;
            fill = 0;
            ++blocks;
            written += block_;
        }
    }
    // The last whole block is the next one's previous: kept if it was read in place.
    float* last = kept_block(channel, blocks + 1);
    if (blocks > block_count_ && previous != last) {
        std::memcpy(last, previous, block_ * sizeof(float));
    }
}

void ConvolutionEffect::process(const float* in, std::size_t frames, float* out,
                                unsigned int workers) {
    const auto stride = static_cast<std::size_t>(channels_);
    if (!coupled_) {
        // Channels do not meet: each runs through the whole chunk on its own.
        parallel_for_channels(channels_, workers, [&](int first, int last) {
            for (int channel = first; channel < last; ++channel) {
                process_channel(channel, in, frames, out);
            }
        });
        const std::size_t total = fill_ + frames;
        block_count_ += total / block_;
        fill_ = total % block_;
        return;
    }
    std::size_t done = 0;
    std::size_t written = 0;
    while (done < frames) {
        const std::size_t take = std::min(block_ - fill_, frames - done);
        for (std::size_t c = 0; c < stride; ++c) {
            take_channel(kept_block(static_cast<int>(c), block_count_) + fill_,
                         in + done * stride + c, stride, take);
        }
        fill_ += take;
        done += take;
        if (fill_ == block_) {
            run_block(out + written * stride, block_, workers);
            fill_ = 0;
            written += block_;
        }
    }
}

void ConvolutionEffect::run_whole(const float* in, std::size_t frames, float* out,
                                  unsigned int workers) {
    const std::size_t released = released_by(frames);
    process(in, frames, out, workers);
    flush(out + released * static_cast<std::size_t>(channels_), workers);
}

void ConvolutionEffect::flush(float* out, unsigned int workers) {
    if (fill_ > 0) {
        for (int c = 0; c < channels_; ++c) {
            float* current = kept_block(c, block_count_);
            std::fill(current + fill_, current + block_, 0.0F);
        }
        run_block(out, fill_, workers);
    }
    reset();
}

}  // namespace kavri
