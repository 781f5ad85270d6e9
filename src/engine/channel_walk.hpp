// The frame walks shared by the per-channel effects.
//
// Each channel's result depends only on its own samples, taken in frame order, so a worker
// may visit the channels of its range together: frame by frame, every channel of the range
// in turn. The recurrences of neighbouring channels are then independent instructions that
// the processor overlaps, and each channel's running state lives in a local for the whole
// walk rather than in the effect, which is read once before and written once after.
#pragma once

#include <cstddef>
#include <type_traits>

#include "engine/block_walk.hpp"
#include "engine/parallel.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

// Where a worker whose range starts at `first_channel` begins its walk of a memoryless step:
// as far into the buffer as its range is into the row, so that the workers of one buffer
// write different rows, pages and cache lines at any moment. The first range starts at 0.
inline unsigned long long start_frame(unsigned long long frames, int first_channel, int channels) {
    return static_cast<unsigned long long>(static_cast<double>(frames) * first_channel / channels);
}

// Runs x = fn(x) on every sample of the buffer, over the channel ranges of
// parallel_for_channels. For a memoryless step: the order of the samples does not matter,
// so a range that holds every channel is one flat, contiguous loop that the compiler turns
// into vector instructions where fn allows it.
template <typename Fn>
void map_channel_samples(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers, const Fn& fn) {
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        const int width = last_channel - first_channel;
        for_each_block_from(frames, block_size, start_frame(frames, first_channel, channels),
                            [&](unsigned long long start, unsigned long long count) {
                                if (width == channels) {
                                    float* sample = data + start * stride;
                                    const unsigned long long n = count * stride;
                                    for (unsigned long long i = 0; i < n; ++i) {
                                        sample[i] = fn(sample[i]);
                                    }
                                    return;
                                }
                                float* row = data + start * stride +
                                             static_cast<unsigned long long>(first_channel);
                                for (unsigned long long i = 0; i < count; ++i, row += stride) {
                                    for (int k = 0; k < width; ++k) {
                                        row[k] = fn(row[k]);
                                    }
                                }
                            });
    });
}

// As map_channel_samples, reading every sample from `source` and writing the result to the
// same place in `data`: the first pass of a memoryless effect, which saves copying the
// input into the output first. source is only read.
template <typename Fn>
void map_channel_samples_from(const float* source, float* data, unsigned long long frames,
                              int channels, unsigned long long block_size, unsigned int workers,
                              const Fn& fn) {
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        const int width = last_channel - first_channel;
        for_each_block_from(
            frames, block_size, start_frame(frames, first_channel, channels),
            [&](unsigned long long start, unsigned long long count) {
                if (width == channels) {
                    const float* in = source + start * stride;
                    float* out = data + start * stride;
                    const unsigned long long n = count * stride;
                    for (unsigned long long i = 0; i < n; ++i) {
                        out[i] = fn(in[i]);
                    }
                    return;
                }
                const auto offset = start * stride + static_cast<unsigned long long>(first_channel);
                const float* in = source + offset;
                float* out = data + offset;
                for (unsigned long long i = 0; i < count; ++i, in += stride, out += stride) {
                    for (int k = 0; k < width; ++k) {
                        out[k] = fn(in[k]);
                    }
                }
            });
    });
}

// Like map_channel_samples, for a memoryless step that works on runs of samples at once
// (a vector math function over an array): fn(float* run, std::size_t count) replaces the
// count samples of the run in place, and must give every sample the same result wherever
// the run starts. A range that holds every channel hands over pieces of the buffer itself.
template <typename Fn>
void map_channel_runs(float* data, unsigned long long frames, int channels,
                      unsigned long long block_size, unsigned int workers, const Fn& fn) {
    constexpr unsigned long long run_length = 1024;
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        const int width = last_channel - first_channel;
        for_each_block_from(
            frames, block_size, start_frame(frames, first_channel, channels),
            [&](unsigned long long start, unsigned long long count) {
                if (width == channels) {
                    float* sample = data + start * stride;
                    const unsigned long long n = count * stride;
                    for (unsigned long long i = 0; i < n; i += run_length) {
                        const unsigned long long m = n - i < run_length ? n - i : run_length;
                        fn(sample + i, static_cast<std::size_t>(m));
                    }
                    return;
                }
                // Within a frame the range's samples are neighbours: a wide range is worked on
                // row by row in place, a narrow one gathered, several rows to a run.
                const auto uwidth = static_cast<unsigned long long>(width);
                float* row = data + start * stride + static_cast<unsigned long long>(first_channel);
                if (uwidth > run_length / 4) {
                    for (unsigned long long i = 0; i < count; ++i, row += stride) {
                        for (unsigned long long k = 0; k < uwidth; k += run_length) {
                            const unsigned long long m =
                                uwidth - k < run_length ? uwidth - k : run_length;
                            fn(row + k, static_cast<std::size_t>(m));
                        }
                    }
                    return;
                }
                float run[run_length];
                const unsigned long long rows_per_run = run_length / uwidth;
                for (unsigned long long i = 0; i < count; i += rows_per_run) {
                    const unsigned long long rows =
                        count - i < rows_per_run ? count - i : rows_per_run;
                    float* r = row + i * stride;
                    for (unsigned long long j = 0; j < rows; ++j, r += stride) {
                        for (int k = 0; k < width; ++k) {
                            run[j * uwidth + static_cast<unsigned long long>(k)] = r[k];
                        }
                    }
                    fn(run, static_cast<std::size_t>(rows * uwidth));
                    r = row + i * stride;
                    for (unsigned long long j = 0; j < rows; ++j, r += stride) {
                        for (int k = 0; k < width; ++k) {
                            r[k] = run[j * uwidth + static_cast<unsigned long long>(k)];
                        }
                    }
                }
            });
    });
}

namespace detail {

// Calls group(std::integral_constant<int, W>{}, first) for consecutive groups of the channels
// [first_channel, last_channel): four at a time, then two, then one, so that each width gets
// a loop of its own with the channels' state in registers.
template <typename Group>
void for_channel_groups(int first_channel, int last_channel, Group&& group) {
    int ch = first_channel;
    for (; last_channel - ch >= 4; ch += 4) {
        group(std::integral_constant<int, 4>{}, ch);
    }
    if (last_channel - ch >= 2) {
        group(std::integral_constant<int, 2>{}, ch);
        ch += 2;
    }
    if (last_channel - ch == 1) {
        group(std::integral_constant<int, 1>{}, ch);
    }
}

// Walks `Width` neighbouring channels from `first` together, frame by frame.
template <int Width, typename Kernel>
void walk_channel_group(float* data, unsigned long long frames, unsigned long long stride,
                        unsigned long long block_size, int first, const Kernel& kernel) {
    using State = std::decay_t<decltype(kernel.load(first))>;
    State state[Width];
    for (int k = 0; k < Width; ++k) {
        state[k] = kernel.load(first + k);
    }
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* row = data + start * stride + static_cast<unsigned long long>(first);
        for (unsigned long long i = 0; i < count; ++i, row += stride) {
            for (int k = 0; k < Width; ++k) {
                row[k] = kernel.step(state[k], row[k]);
            }
        }
    });
    for (int k = 0; k < Width; ++k) {
        kernel.store(first + k, state[k]);
    }
}

}  // namespace detail

// Runs a stateful per-channel step over every sample, in frame order within each channel,
// over the channel ranges of parallel_for_channels. The kernel provides
//   load(ch)    the running state of channel ch as the effect holds it, of any copyable type,
//   step(s, x)  the output for sample x, advancing s,
//   store(ch,s) the state handed back to the effect after the last frame.
// A range is taken four channels at a time, then two, then one, so that stereo and mono
// buffers get loops of their own with the state in registers.
template <typename Kernel>
void for_each_channel_sample(float* data, unsigned long long frames, int channels,
                             unsigned long long block_size, unsigned int workers,
                             const Kernel& kernel) {
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        detail::for_channel_groups(first_channel, last_channel, [&](auto width, int ch) {
            detail::walk_channel_group<decltype(width)::value>(data, frames, stride, block_size, ch,
                                                               kernel);
        });
    });
}

namespace detail {

// Whether a kernel follows its side chains over a chunk of frames itself: a member template
// envelopes<Width>(state, rows, stride, m, env) that writes the envelope of frame i, channel
// k to env[i * Width + k], as envelope(state[k], x) would give it frame by frame.
template <typename Kernel, int Width, typename = void>
struct walks_envelopes : std::false_type {};
template <typename Kernel, int Width>
struct walks_envelopes<Kernel, Width, std::void_t<decltype(&Kernel::template envelopes<Width>)>>
    : std::true_type {};

// Whether a kernel can follow its side chains and take every power in one pass: a member
// template follow_and_raise<Width>(state, rows, m, exponent, env, power) for whole frames of
// Width channels side by side, which writes the envelopes as envelopes<Width> does and
// power[j] = powf(base(env[j]), exponent) for every sample, or returns false having done
// nothing (where it cannot run).
template <typename Kernel, int Width, typename = void>
struct follows_and_raises : std::false_type {};
template <typename Kernel, int Width>
struct follows_and_raises<Kernel, Width,
                          std::void_t<decltype(&Kernel::template follow_and_raise<Width>)>>
    : std::true_type {};

// Whether a piece of n samples with these envelopes is cheaper taken whole (every sample's
// power taken, the unwanted ones dropped) than gathered: when a quarter or more of them
// raise, a vector power costs less than sorting the samples one by one.
template <typename Kernel>
bool takes_every_power(const Kernel& kernel, const float* envelope, std::size_t n) {
    std::size_t raised = 0;
    for (std::size_t j = 0; j < n; ++j) {
        raised += kernel.raises(envelope[j]) ? 1U : 0U;
    }
    return raised * 4 >= n;
}

// A piece of frames of `Width` neighbouring channels whose envelopes are known, rows
// `stride` floats apart: the samples are read from `in` and the output written to `out`
// (the same rows when the effect runs in place, else rows of the same shape elsewhere).
template <int Width, typename Kernel>
struct PowfPiece {
    // Long enough that a powf_array call's own cost is small beside its work.
    static constexpr std::size_t kFrames = 256;
    static constexpr std::size_t kSamples = kFrames * Width;
    float base[kSamples];
    float power[kSamples];
    float held_envelope[kSamples];
    // Where each held sample is, from the piece's first: in place, it stays there, unwritten,
    // until its power is taken.
    std::size_t held_at[kSamples];

    void finish(const float* in, float* out, std::size_t m, std::size_t stride,
                const float* envelope, const Kernel& kernel, float exponent) {
        if (stride == Width && takes_every_power(kernel, envelope, m * Width)) {
            whole(in, out, m * Width, envelope, kernel, exponent);
            return;
        }
        std::size_t held = 0;
        for (std::size_t i = 0, offset = 0; i < m; ++i, offset += stride) {
            for (int k = 0; k < Width; ++k) {
                const std::size_t at = offset + static_cast<std::size_t>(k);
                const float e = envelope[i * Width + static_cast<std::size_t>(k)];
                if (kernel.raises(e)) {
                    base[held] = kernel.base(e);
                    held_envelope[held] = e;
                    held_at[held] = at;
                    ++held;
                } else {
                    out[at] = kernel.apply(in[at], e, 0.0f);
                }
            }
        }
        vecmath::powf_array(base, exponent, power, held);
        for (std::size_t j = 0; j < held; ++j) {
            const std::size_t at = held_at[j];
            out[at] = kernel.apply(in[at], held_envelope[j], power[j]);
        }
    }

    // n samples side by side (the group is the whole frame): every base and power is taken,
    // and apply keeps the power only where the law raises, as the gathering path does; in
    // straight loops the compiler runs in vector lanes.
    void whole(const float* in, float* out, std::size_t n, const float* envelope,
               const Kernel& kernel, float exponent) {
        for (std::size_t j = 0; j < n; ++j) {
            base[j] = kernel.base(envelope[j]);
        }
        vecmath::powf_array(base, exponent, power, n);
        apply(in, out, n, envelope, kernel);
    }

    // The law over n samples side by side whose powers are in `power`.
    void apply(const float* in, float* out, std::size_t n, const float* envelope,
               const Kernel& kernel) const {
        if (in == out) {
            apply_in_place(out, envelope, power, n, kernel);
        } else {
            apply_from(in, out, envelope, power, n, kernel);
        }
    }

    // The law (a copy, which the stores cannot touch) over n samples; the envelopes and
    // powers never overlap the samples, and `in`, when apart from `out`, does not either.
    static void apply_in_place(float* __restrict out, const float* __restrict envelope,
                               const float* __restrict power, std::size_t n, const Kernel law) {
        for (std::size_t j = 0; j < n; ++j) {
            out[j] = law.apply(out[j], envelope[j], power[j]);
        }
    }
    static void apply_from(const float* __restrict in, float* __restrict out,
                           const float* __restrict envelope, const float* __restrict power,
                           std::size_t n, const Kernel law) {
        for (std::size_t j = 0; j < n; ++j) {
            out[j] = law.apply(in[j], envelope[j], power[j]);
        }
    }
};

// Walks `Width` neighbouring channels from `first` together, a piece of frames at a time,
// reading `source` and writing `data` (the same buffer in place). First the side chains run
// over the piece, frame by frame, and their envelopes are kept; then the piece is finished:
// every sample whose law does not raise is written, the others are gathered, one powf_array
// takes all their powers, and they are written after (when the group is the whole frame and
// most samples raise, every power is taken instead). The side chains' recurrence is the one
// chain of dependent steps; nothing else waits on it.
template <int Width, typename Kernel>
void walk_channel_group_powf(const float* source, float* data, unsigned long long frames,
                             unsigned long long stride, unsigned long long block_size, int first,
                             const Kernel& kernel, float exponent) {
    using Piece = PowfPiece<Width, Kernel>;
    using State = std::decay_t<decltype(kernel.load(first))>;
    State state[Width];
    for (int k = 0; k < Width; ++k) {
        state[k] = kernel.load(first + k);
    }
    float envelope[Piece::kSamples];
    Piece piece;
    const auto step = static_cast<std::size_t>(stride);
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        for (unsigned long long done = 0; done < count; done += Piece::kFrames) {
            const auto m = static_cast<std::size_t>(count - done < Piece::kFrames ? count - done
                                                                                  : Piece::kFrames);
            const auto at =
                static_cast<std::size_t>((start + done) * stride) + static_cast<std::size_t>(first);
            const float* const rows = source + at;
            if constexpr (follows_and_raises<Kernel, Width>::value) {
                if (step == Width && kernel.template follow_and_raise<Width>(
                                         state, rows, m, exponent, envelope, piece.power)) {
                    piece.apply(rows, data + at, m * Width, envelope, kernel);
                    continue;
                }
            }
            if constexpr (walks_envelopes<Kernel, Width>::value) {
                kernel.template envelopes<Width>(state, rows, step, m, envelope);
            } else {
                const float* row = rows;
                for (std::size_t i = 0; i < m; ++i, row += step) {
                    for (int k = 0; k < Width; ++k) {
                        envelope[i * Width + static_cast<std::size_t>(k)] =
                            kernel.envelope(state[k], row[k]);
                    }
                }
            }
            piece.finish(rows, data + at, m, step, envelope, kernel, exponent);
        }
    });
    for (int k = 0; k < Width; ++k) {
        kernel.store(first + k, state[k]);
    }
}

}  // namespace detail

// For the dynamics laws that turn an envelope into a gain through powf(base, exponent) with
// one exponent per call. The kernel provides load and store as for for_each_channel_sample,
// and
//   envelope(s, x)   advances the side chain s by sample x and returns its envelope,
//   raises(e)        whether the law takes powf for envelope e,
//   base(e)          the base it raises to `exponent` where raises(e),
//   apply(x, e, p)   the output for sample x, with p = powf(base(e), exponent) where raises(e)
//                    (any value elsewhere, which apply must not use),
// and may provide envelopes<Width> (see walks_envelopes) to follow a chunk of frames itself.
// The samples are read from `source` and written to `data`: the same buffer, or two of the
// same shape that do not overlap.
// The side chains run frame by frame as in the plain walk; the powf calls, which nothing
// else depends on, are taken a chunk at a time by vecmath::powf_array, which gives the
// scalar call's bits. So the output is the plain per-sample loop's, bit for bit.
template <typename Kernel>
void for_each_channel_sample_powf_from(const float* source, float* data, unsigned long long frames,
                                       int channels, unsigned long long block_size,
                                       unsigned int workers, const Kernel& kernel, float exponent) {
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        detail::for_channel_groups(first_channel, last_channel, [&](auto width, int ch) {
            detail::walk_channel_group_powf<decltype(width)::value>(
                source, data, frames, stride, block_size, ch, kernel, exponent);
        });
    });
}

// In place: the samples are read from and written to `data`.
template <typename Kernel>
void for_each_channel_sample_powf(float* data, unsigned long long frames, int channels,
                                  unsigned long long block_size, unsigned int workers,
                                  const Kernel& kernel, float exponent) {
    for_each_channel_sample_powf_from(data, data, frames, channels, block_size, workers, kernel,
                                      exponent);
}

}  // namespace kavri
