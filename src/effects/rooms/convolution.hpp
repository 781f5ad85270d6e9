// Convolution with an impulse response: the sound of a room, a cabinet or any linear system
// recorded as its response to a click.
//
// Each output channel is the sum of its paths, each an input channel convolved with one
// channel of the impulse response: a mono response on every channel, one response channel
// per signal channel, or true stereo (left to left, left to right, right to left, right to
// right), as the caller lists them. `mix` is the wet share: out = in * (1 - mix) + wet * mix.
// With `normalize` the response is scaled by one gain so that the energy of the paths into
// an output channel, averaged over the output channels, is 1.
//
// The convolution is uniformly partitioned: the response is cut into partitions of B frames
// (a power of two), each transformed once at 2 B points; the signal is taken in blocks of B
// frames counted from its first frame, and block b's output is the inverse transform of the
// sum over partitions p of block (b - p)'s spectrum times partition p's (overlap-save), the
// products added in the order of the paths, then of the partitions. So each output frame
// depends only on the blocks of the signal, never on how the signal was cut into chunks or
// on the worker count, and the output lines up with the input: frame n of the output is the
// response to frames 0 to n of the input, with no delay. A stream gives out whole blocks and
// holds the rest (fewer than B frames) until more comes or flush() ends the signal with
// silence.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "engine/fft.hpp"
#include "engine/kept_blocks.hpp"

namespace kavri {

struct ConvolutionPath {
    int input;
    int response;  // the impulse response's channel
    int output;
};

class ConvolutionEffect {
public:
    // `response` holds `response_frames` frames of `response_channels` interleaved channels.
    // `partition` is a power of two of at least 8; `mix` lies in [0, 1] (std::invalid_argument
    // otherwise, as for a path naming a channel that is not there). Without `with_state` the
    // effect is a prototype: it keeps the response's spectra only, to make effects from (the
    // constructor below), and is never run itself.
    ConvolutionEffect(const float* response, std::size_t response_frames, int response_channels,
                      int channels, std::vector<ConvolutionPath> paths, std::size_t partition,
                      float mix, bool normalize, bool with_state = true);

    // A new effect with the response of `prototype` (its spectra shared, not copied), its
    // channels, paths and partitions, a mix of its own (checked as above), and fresh state.
    ConvolutionEffect(const ConvolutionEffect& prototype, float mix);
    ConvolutionEffect(const ConvolutionEffect&) = delete;
    ConvolutionEffect& operator=(const ConvolutionEffect&) = delete;

    // The partition size the front end uses for a response of `response_frames` frames: the
    // smallest power of two at least a quarter of it, held within [256, 8192].
    static std::size_t partition_for(std::size_t response_frames);

    // The bytes an effect of these figures keeps (spectra, blocks, scratch, tables); without
    // `with_state`, a prototype's (the response's spectra and the tables).
    static std::size_t memory_bytes(std::size_t response_frames, int response_channels,
                                    int channels, std::size_t partition, bool with_state = true);
    // What one made from a prototype adds: the input's spectra, blocks and scratch.
    [[nodiscard]] std::size_t state_bytes() const;

    [[nodiscard]] bool has_state() const { return frames_ != nullptr; }
    [[nodiscard]] std::size_t partition() const { return block_; }
    [[nodiscard]] int channels() const { return channels_; }
    [[nodiscard]] std::size_t held_frames() const { return fill_; }
    // The frames process() gives out for an input of `frames`.
    [[nodiscard]] std::size_t released_by(std::size_t frames) const {
        return (fill_ + frames) / block_ * block_;
    }
    // The gain applied to the response (1 without normalisation).
    [[nodiscard]] double response_gain() const { return gain_; }

    // Takes `frames` interleaved frames and writes released_by(frames) frames to `out`.
    void process(const float* in, std::size_t frames, float* out, unsigned int workers);
    // Ends the signal: writes held_frames() frames to `out` and starts afresh.
    void flush(float* out, unsigned int workers);
    // A whole signal of `frames` frames: process() and flush() in one, `frames` frames out.
    void run_whole(const float* in, std::size_t frames, float* out, unsigned int workers);
    void reset();

private:
    // The current block of every channel is complete: its output (`count` frames) to out.
    void run_block(float* out, std::size_t count, unsigned int workers);
    // Where a channel keeps block number `blocks` (its frames alternate between two halves,
    // so the previous block is the other half).
    [[nodiscard]] float* kept_block(int channel, std::size_t blocks) const;
    // Block number `blocks` of a channel, `previous` and `current` its frames and those of the
    // block before: its spectrum, and the output of its frames (`current` is the dry share).
    void transform_input(int channel, std::size_t blocks, const float* previous,
                         const float* current);
    void convolve_output(int channel, float* out, std::size_t count, std::size_t blocks,
                         const float* dry);
    // The uncoupled process() of one channel.
    void process_channel(int channel, const float* in, std::size_t frames, float* out);

    int channels_;
    std::vector<ConvolutionPath> paths_;
    std::size_t block_;
    std::size_t bins_;
    std::size_t partitions_;
    float mix_;
    float dry_;
    double gain_ = 1.0;
    bool coupled_ = false;  // some path crosses channels
    std::shared_ptr<const RealFft> fft_;
    // Spectra as separate real and imaginary parts, each partition's bins contiguous: the
    // response's [channel][partition][bin], and the input's last `partitions_` blocks
    // [channel][slot][bin], block b in slot b % partitions_.
    struct Spectra {
        KeptBlock block;  // re, then im
        float* re = nullptr;
        float* im = nullptr;
    };
    std::shared_ptr<const Spectra> response_;
    // All the running state and scratch below, in one block of state_bytes(), kept for the
    // next convolver when this one goes (see KeptBlock): a loop of calls of one shape finds
    // its pages mapped instead of faulting each of them in again.
    KeptBlock state_;
    float* input_re_ = nullptr;
    float* input_im_ = nullptr;
    void allocate_state();

    // Per channel: two blocks of frames (2 B frames, zeros at the start), block b in the half
    // b % 2, so that the other half holds the block before it; the output's sums (bins re,
    // bins im), and scratch of 2 B frames for the transforms. Only the frames start as zeros:
    // the sums are cleared before each use, the scratch is written before it is read, and an
    // input slot is read only once a block has filled it. A mono chunk's whole blocks are
    // read where they lie, not copied to the frames; the last one is kept for the next.
    float* frames_ = nullptr;
    float* sums_ = nullptr;
    float* time_ = nullptr;
    float* work_ = nullptr;
    std::size_t fill_ = 0;
    std::size_t block_count_ = 0;
};

}  // namespace kavri
