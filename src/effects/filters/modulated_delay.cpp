#include "effects/filters/modulated_delay.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "effects/clamp.hpp"
#include "effects/constants.hpp"
#include "effects/filters/delay.hpp"
#include "engine/lanes.hpp"
#include "engine/state_size.hpp"
#include "engine/vecmath/vecmath.hpp"

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#include <immintrin.h>
#endif

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
    rate_hz = at_least(rate_hz_value, kSlowestLfoHz);
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

// Everything the frames need, copied into locals for the whole call.
struct SweptLines {
    float sample_rate;
    float angular_rate;
    float depth_samples;
    float base_delay_samples;
    float mix;
    float dry_gain;
    float feedback;
    std::int64_t length;

    // The common angle of frame n, recomputed from the count so that no rounding adds up;
    // it is never wrapped, so its own rounding grows with the time.
    float angle(std::uint64_t n) const {
        return (static_cast<float>(n) / sample_rate) * angular_rate;
    }
};

// Per-chunk scratch, one row of kSweepChunk per channel: the sines, and from them each read's
// two slots of the line and their weights (1 - fraction and the fraction).
template <typename Index>
struct ChunkRows {
    float* sines[2];
    float* keeps;
    float* fracs;
    Index* firsts;
    Index* seconds;
};

// Floats and slots a chunk's rows take per channel.
constexpr std::size_t kRowFloats = 4;
constexpr std::size_t kRowSlots = 2;

// The taps of whole part e and fraction frac, as wrap_taps gives them. Every read of a swept
// line is within one line length of it (the line is longer than the longest delay), where
// the slots come from one conditional addition; the test for anything else is never taken.
inline ReadTaps near_taps(std::int64_t e, float frac, std::int64_t length) {
    if (e < -length || e >= length) {
        return wrap_taps(e, frac, length);
    }
    const std::int64_t first = e < 0 ? e + length : e;
    const std::int64_t next = first + 1;
    return {first, next == length ? 0 : next, frac};
}

// Frames the vector frames below take at once.
constexpr std::int64_t kVectorFrames = 8;

// Whether a read whose first slot is `first`, by the frame that writes slot `at`, lies
// further back than any frame of its group of kVectorFrames writes before it (the second
// slot is one nearer; a slot ahead of the write index is one a later frame writes, read
// before it is written either way), so that a group's frames may read all their taps first
// and write after, as the vector frames do.
inline bool lies_behind(std::int64_t first, std::int64_t at, std::int64_t length) {
    std::int64_t back = at - first;
    back += back < 0 ? length : 0;
    return back > kVectorFrames;
}

// Where the rows put one read: its two slots and their weights.
template <typename Index>
struct ReadSlot {
    float* keep;
    float* frac;
    Index* first;
    Index* second;
};

// One read of the row: the swept delay of sine s, floored at one sample (written so that a
// NaN sweep, from a NaN or infinite rate, becomes one sample too and the position stays
// finite), taken back from the write index w, and split into floor(position) and the
// fraction. The floor is a truncation, one lower for a negative non-integer, with the sign
// of the position kept, as in read_interpolated. The read is then line[first] * (1 - frac) +
// line[second] * frac, with the slots as near_taps gives them.
template <typename Index>
inline void sweep_one(float s, float w, float depth, float base, std::int64_t length,
                      const ReadSlot<Index>& at) {
    float delay = ((s + 1.0f) * 0.5f) * depth + base;
    if (!(delay >= 1.0f)) {
        delay = 1.0f;
    }
    const float position = w - delay;
    Index e = static_cast<Index>(position);
    float whole = static_cast<float>(e);
    if (position < whole) {
        e = e - 1;
        whole = whole - 1.0f;
    }
    const float frac = position - std::copysign(whole, position);
    const ReadTaps taps = near_taps(static_cast<std::int64_t>(e), frac, length);
    *at.keep = 1.0f - frac;
    *at.frac = frac;
    *at.first = static_cast<Index>(taps.first);
    *at.second = static_cast<Index>(taps.second);
}

// The row of `count` reads, the first by the frame that writes slot `at`; returns whether
// every read lies behind its group (lies_behind).
template <typename Index>
bool sweep_row(const float* s, const float* w, float depth, float base, std::int64_t length,
               std::int64_t at, unsigned long long count, const ReadSlot<Index>& row) {
    bool behind = true;
    for (unsigned long long i = 0; i < count; ++i) {
        sweep_one(s[i], w[i], depth, base, length,
                  ReadSlot<Index>{row.keep + i, row.frac + i, row.first + i, row.second + i});
        behind = lies_behind(row.first[i], at, length) && behind;
        at = at + 1 < length ? at + 1 : 0;
    }
    return behind;
}

// With 32-bit slots, eight positions at a time: the same operations lane by lane, the branches
// as bit selects (the compiler keeps the scalar form as branches). Eight lanes are two SSE
// registers on any processor and one where it has AVX2; the build for each is chosen when
// the library loads, with the same bits.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define KAVRI_SWEEP_KERNEL __attribute__((noinline, target_clones("avx2", "default")))
#else
#define KAVRI_SWEEP_KERNEL
#endif
using Lanes8 = float __attribute__((vector_size(32)));
using IntLanes8 = std::int32_t __attribute__((vector_size(32)));

KAVRI_SWEEP_KERNEL
bool sweep_row(const float* s, const float* w, float depth, float base, std::int64_t length,
               std::int64_t at, unsigned long long count, const ReadSlot<std::int32_t>& row) {
    const IntLanes8 sign = {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN,
                            INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN};
    const Lanes8 one = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    // 32-bit slots: the line is at most 2^30 long.
    const auto size = static_cast<std::int32_t>(length);
    const auto group = static_cast<std::int32_t>(kVectorFrames);
    const IntLanes8 steps = {0, 1, 2, 3, 4, 5, 6, 7};
    IntLanes8 outside = {};
    IntLanes8 ahead = {};  // reads that do not lie behind their group
    const std::int64_t start = at;
    unsigned long long i = 0;
    for (; i + 8 <= count; i += 8) {
        Lanes8 sine;
        Lanes8 write_at;
        std::memcpy(&sine, s + i, sizeof sine);
        std::memcpy(&write_at, w + i, sizeof write_at);
        const Lanes8 swept = ((sine + 1.0f) * 0.5f) * depth + base;
        const IntLanes8 at_least_one = swept >= 1.0f;
        const Lanes8 delay =
            (Lanes8)(((IntLanes8)swept & at_least_one) | ((IntLanes8)one & ~at_least_one));
        const Lanes8 position = write_at - delay;
        const IntLanes8 truncated = __builtin_convertvector(position, IntLanes8);
        const Lanes8 toward_zero = __builtin_convertvector(truncated, Lanes8);
        const IntLanes8 negative_fraction = position < toward_zero;
        const Lanes8 below = toward_zero - 1.0f;
        const IntLanes8 floor_bits =
            ((IntLanes8)below & negative_fraction) | ((IntLanes8)toward_zero & ~negative_fraction);
        const Lanes8 signed_floor = (Lanes8)((floor_bits & ~sign) | ((IntLanes8)position & sign));
        const Lanes8 fraction = position - signed_floor;
        const Lanes8 keep = 1.0f - fraction;
        const IntLanes8 slot = truncated + negative_fraction;
        // near_taps, lane by lane: a slot before the line's start is a length on.
        const IntLanes8 first = slot + (size & (slot < 0));
        const IntLanes8 next = first + 1;
        const IntLanes8 second = next & ~(next == size);
        std::memcpy(row.keep + i, &keep, sizeof keep);
        std::memcpy(row.frac + i, &fraction, sizeof fraction);
        std::memcpy(row.first + i, &first, sizeof first);
        std::memcpy(row.second + i, &second, sizeof second);
        outside |= (slot < -size) | (slot >= size);
        // lies_behind, lane by lane, from the write slots of the eight frames.
        IntLanes8 writes = static_cast<std::int32_t>(at) + steps;
        writes -= size & (writes >= size);
        IntLanes8 back = writes - first;
        back += size & (back < 0);
        ahead |= back <= group;
        at += 8;
        at -= at >= length ? length : 0;
    }
    // A slot a whole line length or more away (never, for a line longer than the longest
    // delay): the row again by the scalar reads, with their remainders.
    bool any_outside = false;
    bool behind = true;
    for (int l = 0; l < 8; ++l) {
        any_outside = any_outside || outside[l] != 0;
        behind = behind && ahead[l] == 0;
    }
    if (any_outside) {
        i = 0;
        at = start;
        behind = true;
    }
    for (; i < count; ++i) {
        sweep_one(
            s[i], w[i], depth, base, length,
            ReadSlot<std::int32_t>{row.keep + i, row.frac + i, row.first + i, row.second + i});
        behind = lies_behind(row.first[i], at, length) && behind;
        at = at + 1 < length ? at + 1 : 0;
    }
    return behind;
}

// The angles of frames n0 .. n0 + count - 1. Below 2^31 a count converts to the same float
// from 32 bits as from 64, so four frames go at a time.
inline void sweep_angles(const SweptLines& sweep, std::uint64_t n0, unsigned long long count,
                         float* angle) {
    unsigned long long i = 0;
    if (n0 + count < (std::uint64_t{1} << 31)) {
        const auto first = static_cast<std::int32_t>(n0);
        IntLanes n = {first, first + 1, first + 2, first + 3};
        for (; i + 4 <= count; i += 4, n += 4) {
            const Lanes g =
                (__builtin_convertvector(n, Lanes) / sweep.sample_rate) * sweep.angular_rate;
            std::memcpy(angle + i, &g, sizeof g);
        }
    }
    for (; i < count; ++i) {
        angle[i] = sweep.angle(n0 + i);
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define KAVRI_VECTOR_FRAMES 1

// The frames of a chunk kVectorFrames (eight) at a time, for one or two channels, with AVX2: each
// frame's two taps gathered, then the same single-precision operations as the scalar frames in
// every lane (read_taps' products and sum, the line's feedback, the mix). Only where the reads lie
// behind their groups (lies_behind), where the write index does not wrap within
// the eight, and where no sample read is NaN: with a NaN in two operands of one operation the
// result's payload would depend on the order the instruction takes them in, which the
// compiler may choose differently for the scalar frames. Returns the frames done, from the
// first; the scalar frames take the rest.
template <int Channels, bool WetOnly>
__attribute__((target("avx2"))) unsigned long long vector_frames(
    float* const* lines, const ChunkRows<std::int32_t>& rows, const float* in, float* frame,
    unsigned long long count, std::int64_t& w, std::int64_t length, const SweptLines& sweep) {
    constexpr std::size_t kRow = kSweepChunk;
    const __m256 feedback = _mm256_set1_ps(sweep.feedback);
    const __m256 mix = _mm256_set1_ps(sweep.mix);
    const __m256 dry = _mm256_set1_ps(sweep.dry_gain);
    unsigned long long i = 0;
    for (; i + 8 <= count && w + 8 <= length; i += 8) {
        __m256 x[Channels];
        if constexpr (Channels == 1) {
            x[0] = _mm256_loadu_ps(in + i);
        } else {
            // l0 r0 l1 r1 l2 r2 l3 r3 and l4 r4 ... r7, split into the channels.
            const __m256 a = _mm256_loadu_ps(in + 2 * i);
            const __m256 b = _mm256_loadu_ps(in + 2 * i + 8);
            const __m256 left = _mm256_shuffle_ps(a, b, 0x88);   // l0 l1 l4 l5 l2 l3 l6 l7
            const __m256 right = _mm256_shuffle_ps(a, b, 0xDD);  // the same of r
            x[0] = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(left), 0xD8));
            x[1] = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(right), 0xD8));
        }
        __m256 wet[Channels];
        __m256 nan = _mm256_setzero_ps();
        for (int k = 0; k < Channels; ++k) {
            const std::size_t at = static_cast<std::size_t>(k) * kRow + i;
            const __m256i first =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows.firsts + at));
            const __m256i second =
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows.seconds + at));
            const __m256 a = _mm256_i32gather_ps(lines[k], first, 4);
            const __m256 b = _mm256_i32gather_ps(lines[k], second, 4);
            wet[k] = _mm256_add_ps(_mm256_mul_ps(a, _mm256_loadu_ps(rows.keeps + at)),
                                   _mm256_mul_ps(b, _mm256_loadu_ps(rows.fracs + at)));
            nan = _mm256_or_ps(nan, _mm256_cmp_ps(a, b, _CMP_UNORD_Q));
            nan = _mm256_or_ps(nan, _mm256_cmp_ps(x[k], x[k], _CMP_UNORD_Q));
        }
        if (_mm256_movemask_ps(nan) != 0) {
            break;
        }
        __m256 out[Channels];
        for (int k = 0; k < Channels; ++k) {
            _mm256_storeu_ps(lines[k] + w, _mm256_add_ps(_mm256_mul_ps(wet[k], feedback), x[k]));
            out[k] = WetOnly ? wet[k]
                             : _mm256_add_ps(_mm256_mul_ps(mix, wet[k]), _mm256_mul_ps(dry, x[k]));
        }
        if constexpr (Channels == 1) {
            _mm256_storeu_ps(frame + i, out[0]);
        } else {
            const __m256 low = _mm256_unpacklo_ps(out[0], out[1]);   // l0 r0 l1 r1 l4 r4 l5 r5
            const __m256 high = _mm256_unpackhi_ps(out[0], out[1]);  // l2 r2 l3 r3 l6 r6 l7 r7
            _mm256_storeu_ps(frame + 2 * i, _mm256_permute2f128_ps(low, high, 0x20));
            _mm256_storeu_ps(frame + 2 * i + 8, _mm256_permute2f128_ps(low, high, 0x31));
        }
        w += 8;
        w = w < length ? w : 0;
    }
    return i;
}
#endif

// Runs frames [0, frames) of the call with the write index starting at w0 and the frame count
// at n0, and returns the write index after the last frame. Channels is the channel count, or 0
// for a count known only at run time; Index holds a read slot (32 bits when every line is
// short enough). Each chunk goes in two passes. The first turns the chunk's sines into read
// positions, channel by channel: it depends on neither the lines nor the audio, so it runs on
// whole rows at once. The second reads, mixes and writes the lines frame by frame, a channel's
// line read before it is written and touching no other channel. The sines of the next chunk
// are taken a row at a time by vecmath::sinf_array between the two.
template <int Channels, bool WetOnly, typename Index>
std::int64_t run_swept(ModulatedDelayEffect& effect, const SweptLines& sweep, const float* source,
                       float* data, unsigned long long frames, int channel_count, std::int64_t w0,
                       std::uint64_t n0) {
    constexpr int kStack = Channels > 0 ? Channels : 1;
    constexpr std::size_t kRow = kSweepChunk;
    const int channels = Channels > 0 ? Channels : channel_count;
    const auto stride = static_cast<std::size_t>(channels);
    float* stack_lines[kStack];
    float stack_offsets[kStack];
    float stack_floats[kRowFloats * kRow * kStack];
    Index stack_slots[kRowSlots * kRow * kStack];
    std::vector<float*> heap_lines;
    std::vector<float> heap_offsets;
    std::vector<float> heap_floats;
    std::vector<Index> heap_slots;
    float** lines = stack_lines;
    float* offsets = stack_offsets;
    float* row_floats = stack_floats;
    Index* row_slots = stack_slots;
    if (Channels == 0) {
        heap_lines.resize(stride);
        heap_offsets.resize(stride);
        heap_floats.resize(kRowFloats * kRow * stride);
        heap_slots.resize(kRowSlots * kRow * stride);
        lines = heap_lines.data();
        offsets = heap_offsets.data();
        row_floats = heap_floats.data();
        row_slots = heap_slots.data();
    }
    const std::size_t rows_of = kRow * stride;  // one kind of row, every channel
    const ChunkRows<Index> rows{{row_floats, row_floats + rows_of},
                                row_floats + 2 * rows_of,
                                row_floats + 3 * rows_of,
                                row_slots,
                                row_slots + rows_of};
    for (std::size_t k = 0; k < stride; ++k) {
        lines[k] = effect.lines[k].data();
        offsets[k] = effect.phase_offsets[k];
    }
    const float depth = sweep.depth_samples;
    const float base = sweep.base_delay_samples;
#ifdef KAVRI_VECTOR_FRAMES
    // The vector frames where the processor has AVX2 and no setting is NaN (a NaN setting
    // meeting a NaN sample would leave the result's payload to the operands' order).
    static const bool has_avx2 = vecmath::isa_available(vecmath::Isa::avx2);
    const bool vector_frames_run = has_avx2 && !std::isnan(sweep.feedback) &&
                                   !std::isnan(sweep.mix) && !std::isnan(sweep.dry_gain);
#endif
    const std::int64_t length = sweep.length;
    float angles[kRow];
    // Every channel's sines of a chunk, sinf(offset + angle), a row at a time with the
    // library's exact bits.
    const auto take_sines = [&](float* row, unsigned long long n) {
        float arguments[kRow] = {};
        for (std::size_t k = 0; k < stride; ++k) {
            for (unsigned long long i = 0; i < n; ++i) {
                arguments[i] = offsets[k] + angles[i];
            }
            vecmath::sinf_array(arguments, row + k * kRow, static_cast<std::size_t>(n));
        }
    };
    float write_at[kRow];
    std::int64_t w = w0;
    int current = 0;
    unsigned long long count = frames < kSweepChunk ? frames : kSweepChunk;
    sweep_angles(sweep, n0, count, angles);
    take_sines(rows.sines[current], count);
    const float* in = source;
    float* frame = data;
    for (unsigned long long done = 0; done < frames;) {
        const unsigned long long rest = frames - done - count;
        const unsigned long long next_count = rest < kSweepChunk ? rest : kSweepChunk;
        const std::uint64_t next_first = n0 + done + count;
        const float* now = rows.sines[current];
        float* next = rows.sines[1 - current];
        // The write index of each frame: w + i, less the length from where it wraps (once at
        // most in a chunk when the line is at least a chunk long; a shorter line wraps frame by
        // frame). For 32-bit slots (the line below 2^30) the same floats come from 32-bit
        // counts, four or more converted at a time.
        const std::int64_t wraps_at = length - w;
        if (length < static_cast<std::int64_t>(kSweepChunk)) {
            std::int64_t v = w;
            for (unsigned long long i = 0; i < count; ++i) {
                write_at[i] = static_cast<float>(v);
                ++v;
                if (!(v < length)) {
                    v = 0;
                }
            }
        } else if constexpr (std::is_same_v<Index, std::int32_t>) {
            const auto w32 = static_cast<std::int32_t>(w);
            const auto length32 = static_cast<std::int32_t>(length);
            const auto wraps32 = static_cast<std::int32_t>(wraps_at);
            for (unsigned long long i = 0; i < count; ++i) {
                const auto i32 = static_cast<std::int32_t>(i);
                write_at[i] = static_cast<float>(w32 + i32 - (i32 >= wraps32 ? length32 : 0));
            }
        } else {
            for (unsigned long long i = 0; i < count; ++i) {
                const auto at = static_cast<std::int64_t>(i);
                write_at[i] = static_cast<float>(w + at - (at >= wraps_at ? length : 0));
            }
        }
        bool behind = true;  // every read of the chunk (lies_behind)
        for (std::size_t k = 0; k < stride; ++k) {
            const std::size_t at = k * kRow;
            behind = sweep_row(now + at, write_at, depth, base, length, w, count,
                               ReadSlot<Index>{rows.keeps + at, rows.fracs + at, rows.firsts + at,
                                               rows.seconds + at}) &&
                     behind;
        }
        sweep_angles(sweep, next_first, next_count, angles);
        take_sines(next, next_count);
        unsigned long long i = 0;
#ifdef KAVRI_VECTOR_FRAMES
        if constexpr ((Channels == 1 || Channels == 2) && std::is_same_v<Index, std::int32_t>) {
            if (behind && vector_frames_run) {
                i = vector_frames<Channels, WetOnly>(lines, rows, in, frame, count, w, length,
                                                     sweep);
                in += i * stride;
                frame += i * stride;
            }
        }
#else
        static_cast<void>(behind);
#endif
        for (; i < count; ++i, in += stride, frame += stride) {
            for (std::size_t k = 0; k < stride; ++k) {
                const std::size_t at = k * kRow + i;
                float* line = lines[k];
                // read_taps, its weights taken ahead.
                const float wet = line[rows.firsts[at]] * rows.keeps[at] +
                                  line[rows.seconds[at]] * rows.fracs[at];
                const float x = in[k];
                line[w] = wet * sweep.feedback + x;
                frame[k] = WetOnly ? wet : sweep.mix * wet + sweep.dry_gain * x;
            }
            ++w;
            if (!(w < length)) {
                w = 0;
            }
        }
        done += count;
        count = next_count;
        current = 1 - current;
    }
    return w;
}

// Lines of up to 2^30 samples keep every read slot within 32 bits, and the row of positions
// converts four or more at a time.
template <int Channels, bool WetOnly>
std::int64_t run_any_length(ModulatedDelayEffect& effect, const SweptLines& sweep,
                            const float* source, float* data, unsigned long long frames,
                            int channels, std::int64_t w0, std::uint64_t n0) {
    if (sweep.length <= std::int64_t{1073741824}) {  // 2^30: positions fit 32 bits
        return run_swept<Channels, WetOnly, std::int32_t>(effect, sweep, source, data, frames,
                                                          channels, w0, n0);
    }
    return run_swept<Channels, WetOnly, std::int64_t>(effect, sweep, source, data, frames, channels,
                                                      w0, n0);
}

template <bool WetOnly>
std::int64_t run_any_count(ModulatedDelayEffect& effect, const SweptLines& sweep,
                           const float* source, float* data, unsigned long long frames,
                           int channels, std::int64_t w0, std::uint64_t n0) {
    if (channels == 2) {
        return run_any_length<2, WetOnly>(effect, sweep, source, data, frames, channels, w0, n0);
    }
    if (channels == 1) {
        return run_any_length<1, WetOnly>(effect, sweep, source, data, frames, channels, w0, n0);
    }
    return run_any_length<0, WetOnly>(effect, sweep, source, data, frames, channels, w0, n0);
}

}  // namespace

// Blocks only bound the walk and every frame's sweep comes from its own count, so the whole
// call runs as one walk: the result is the same for every block size.
void ModulatedDelayEffect::process(float* data, unsigned long long frames, int channels,
                                   unsigned long long block_size, unsigned int workers) {
    process_from(data, data, frames, channels, block_size, workers);
}

// Each frame's samples are read before its output is written, so `source` may be `data`.
bool ModulatedDelayEffect::process_from(const float* source, float* data, unsigned long long frames,
                                        int channels, unsigned long long, unsigned int) {
    if (frames == 0 || channels < 1) {
        return true;
    }
    const SweptLines sweep{
        sample_rate, rate_hz * kTwoPi, depth_samples, base_delay_samples,
        mix,         1.0f - mix,       feedback,      static_cast<std::int64_t>(lines[0].size())};
    // The write index is below a line length that fits in memory: as a signed count its
    // conversion to float is one instruction, and gives the same float.
    const auto w0 = static_cast<std::int64_t>(write_pos);
    const std::int64_t w =
        wet_only
            ? run_any_count<true>(*this, sweep, source, data, frames, channels, w0, frame_counter)
            : run_any_count<false>(*this, sweep, source, data, frames, channels, w0, frame_counter);
    write_pos = static_cast<std::uint64_t>(w);
    frame_counter += frames;
    return true;
}

namespace {

// What one call of process allocates besides the lines: with three or more channels, the
// line pointers, phase offsets and one chunk's rows of sines, read weights and read slots.
ByteCount swept_scratch_bytes(int channels) {
    if (channels <= 2) {
        return ByteCount(0);
    }
    const auto c = static_cast<std::uint64_t>(channels);
    return heap_array_bytes(c, sizeof(float*)) + heap_array_bytes(c, sizeof(float)) +
           heap_array_bytes(kRowFloats * kSweepChunk * c, sizeof(float)) +
           heap_array_bytes(kRowSlots * kSweepChunk * c, sizeof(std::int64_t));
}

}  // namespace

PlannedEffect plan_modulated_delay_effect(const ParamReader& params, float sample_rate,
                                          int channels, const ModulatedDelayDefaults& defaults,
                                          bool wet_only, float phase_step) {
    const float feedback = params.read_float("feedback", defaults.feedback);
    const float mix = params.read_float("mix", defaults.mix);
    const float rate_hz = params.read_float("rate_hz", defaults.rate_hz);
    const float depth_ms = params.read_float("depth_ms", defaults.depth_ms);
    const float delay_ms = params.read_float("delay_ms", defaults.delay_ms);
    EffectMemory memory;
    const float d = at_least(delay_ms, 0.001f);
    const bool depth_sets_size = std::fabs(depth_ms) > d || std::isnan(depth_ms);
    memory.size_key = depth_sets_size ? "depth_ms" : "delay_ms";
    memory.size_value = depth_sets_size ? depth_ms : delay_ms;
    memory.state_name = "delay lines";
    try {
        memory.state = delay_lines_bytes(channels, swept_line_length(sample_rate, depth_ms, d));
    } catch (const std::bad_alloc&) {
        // A length beyond any machine (an infinite time): refused by the memory check.
        memory.state = ByteCount(ByteCount::kUnbounded);
    }
    memory.state += heap_array_bytes(static_cast<std::uint64_t>(channels), sizeof(float));
    memory.scratch = swept_scratch_bytes(channels);
    return plan_effect<ModulatedDelayEffect>(memory, [=] {
        return std::make_unique<ModulatedDelayEffect>(sample_rate, channels, delay_ms, depth_ms,
                                                      rate_hz, mix, feedback, wet_only, phase_step);
    });
}

}  // namespace kavri
