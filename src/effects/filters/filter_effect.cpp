#include "effects/filters/filter_effect.hpp"

#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/block_walk.hpp"
#include "engine/lanes.hpp"
#include "engine/parallel.hpp"
#include "engine/state_size.hpp"

namespace kavri {

namespace {

int stage_count_used(int stage_count) {
    return stage_count > 0 ? stage_count : 1;
}

}  // namespace

FilterEffect::FilterEffect(const BiquadCoefficients& coefficients, int stage_count, int channels)
    : b0(coefficients.b0),
      b1(coefficients.b1),
      b2(coefficients.b2),
      a1(coefficients.a1),
      a2(coefficients.a2),
      stages(stage_count_used(stage_count)) {
    const auto channel_count = static_cast<std::uint64_t>(channels < 0 ? 0 : channels);
    // A zeroed cascade that the system grants but cannot back with memory would end the
    // process when first touched; refuse it while nothing is allocated yet.
    require_state_fits(checked_count_product(static_cast<std::uint64_t>(stages), channel_count),
                       sizeof(BiquadState));
    // Each channel's cascade is made in place: copies of one prototype would hold one cascade
    // too many while they are made.
    stage_state.reserve(static_cast<std::size_t>(channel_count));
    for (std::uint64_t k = 0; k < channel_count; ++k) {
        stage_state.emplace_back(static_cast<std::size_t>(stages));
    }
}

FilterEffect::~FilterEffect() = default;

namespace {

// How many of vector v's lanes hold one of `width` channels.
constexpr int lanes_of(int width, int v) {
    return width - 4 * v < 4 ? width - 4 * v : 4;
}

// Reads `Count` neighbouring samples into the first lanes, zeros in the rest. Built from
// the samples themselves, never through a scratch copy in memory that a wide read would
// have to wait for.
template <int Count>
Lanes load_lanes(const float* p) {
    if constexpr (Count == 4) {
        Lanes v;
        std::memcpy(&v, p, sizeof(v));
        return v;
    } else if constexpr (Count == 3) {
        return Lanes{p[0], p[1], p[2], 0.0f};
    } else if constexpr (Count == 2) {
        return Lanes{p[0], p[1], 0.0f, 0.0f};
    } else {
        return Lanes{p[0], 0.0f, 0.0f, 0.0f};
    }
}

template <int Count>
void store_lanes(float* p, Lanes v) {
    if constexpr (Count == 4) {
        std::memcpy(p, &v, sizeof(v));
    } else {
        for (int c = 0; c < Count; ++c) {
            p[c] = v[c];
        }
    }
}

// Runs `Stages` sections of the cascade (from `first_stage`) over `Width` neighbouring
// channels from `first`, frame by frame. The channels' recurrences run side by side in vector
// lanes, four to a vector; a cascade longer than the registers can hold is run a few
// sections at a time, each pass taking the output of the one before, which gives the same
// samples as running every section on one frame before the next.
template <int Width, int Stages>
void run_sections(const BiquadCoefficients& k, std::vector<BiquadState>* state, int first_stage,
                  float* data, unsigned long long frames, unsigned long long stride,
                  unsigned long long block_size, int first) {
    constexpr int kVectors = (Width + 3) / 4;
    const Lanes b0 = {k.b0, k.b0, k.b0, k.b0};
    const Lanes b1 = {k.b1, k.b1, k.b1, k.b1};
    const Lanes b2 = {k.b2, k.b2, k.b2, k.b2};
    const Lanes a1 = {k.a1, k.a1, k.a1, k.a1};
    const Lanes a2 = {k.a2, k.a2, k.a2, k.a2};
    // Lanes beyond the last channel hold zeros and stay zero.
    float initial1[Stages][kVectors * 4] = {};
    float initial2[Stages][kVectors * 4] = {};
    for (int s = 0; s < Stages; ++s) {
        for (int c = 0; c < Width; ++c) {
            const BiquadState& memory = state[first + c][static_cast<std::size_t>(first_stage) +
                                                         static_cast<std::size_t>(s)];
            initial1[s][c] = memory.z1;
            initial2[s][c] = memory.z2;
        }
    }
    Lanes z1[Stages][kVectors];
    Lanes z2[Stages][kVectors];
    std::memcpy(z1, initial1, sizeof(z1));
    std::memcpy(z2, initial2, sizeof(z2));
    for_each_block(frames, block_size, [&](unsigned long long start, unsigned long long count) {
        float* row = data + start * stride + static_cast<unsigned long long>(first);
        for (unsigned long long i = 0; i < count; ++i, row += stride) {
            Lanes x[kVectors];
            x[0] = load_lanes<lanes_of(Width, 0)>(row);
            if constexpr (kVectors > 1) {
                x[1] = load_lanes<lanes_of(Width, 1)>(row + 4);
            }
            for (int s = 0; s < Stages; ++s) {
                for (int v = 0; v < kVectors; ++v) {
                    // The section of run_biquad, in its order.
                    const Lanes y = b0 * x[v] + z1[s][v];
                    z1[s][v] = (b1 * x[v] - a1 * y) + z2[s][v];
                    z2[s][v] = b2 * x[v] - a2 * y;
                    x[v] = y;
                }
            }
            store_lanes<lanes_of(Width, 0)>(row, x[0]);
            if constexpr (kVectors > 1) {
                store_lanes<lanes_of(Width, 1)>(row + 4, x[1]);
            }
        }
    });
    for (int s = 0; s < Stages; ++s) {
        for (int c = 0; c < Width; ++c) {
            BiquadState& memory = state[first + c][static_cast<std::size_t>(first_stage) +
                                                   static_cast<std::size_t>(s)];
            memory.z1 = z1[s][c / 4][c % 4];
            memory.z2 = z2[s][c / 4][c % 4];
        }
    }
}

// The whole cascade over `Width` channels from `first`: up to four sections per pass for up
// to four channels, two per pass for up to eight, so that the state stays in the sixteen
// vector registers.
template <int Width>
void run_cascade(const BiquadCoefficients& k, std::vector<BiquadState>* state, int stages,
                 float* data, unsigned long long frames, unsigned long long stride,
                 unsigned long long block_size, int first) {
    constexpr int kPerPass = Width <= 4 ? 4 : 2;
    int s = 0;
    for (; stages - s >= kPerPass; s += kPerPass) {
        run_sections<Width, kPerPass>(k, state, s, data, frames, stride, block_size, first);
    }
    if constexpr (kPerPass == 4) {
        if (stages - s == 3) {
            run_sections<Width, 3>(k, state, s, data, frames, stride, block_size, first);
            return;
        }
    }
    const int rest = stages - s;
    if (rest >= 2) {
        run_sections<Width, 2>(k, state, s, data, frames, stride, block_size, first);
        s += 2;
    }
    if (stages - s == 1) {
        run_sections<Width, 1>(k, state, s, data, frames, stride, block_size, first);
    }
}

}  // namespace

void FilterEffect::process(float* data, unsigned long long frames, int channels,
                           unsigned long long block_size, unsigned int workers) {
    const BiquadCoefficients k{b0, b1, b2, a1, a2};
    const int section_count = stages;
    std::vector<BiquadState>* state = stage_state.data();
    parallel_for_channels(channels, workers, [&](int first_channel, int last_channel) {
        if (frames == 0) {
            return;
        }
        const auto stride = static_cast<unsigned long long>(channels);
        int ch = first_channel;
        for (; last_channel - ch >= 8; ch += 8) {
            run_cascade<8>(k, state, section_count, data, frames, stride, block_size, ch);
        }
        switch (last_channel - ch) {
            case 7:
                run_cascade<7>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 6:
                run_cascade<6>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 5:
                run_cascade<5>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 4:
                run_cascade<4>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 3:
                run_cascade<3>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 2:
                run_cascade<2>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            case 1:
                run_cascade<1>(k, state, section_count, data, frames, stride, block_size, ch);
                break;
            default:
                break;
        }
    });
}

bool FilterEffect::lane_params(int channel, LaneParams& out) {
    out.kind = LaneKind::biquad;
    out.value[0] = b0;
    out.value[1] = b1;
    out.value[2] = b2;
    out.value[3] = a1;
    out.value[4] = a2;
    out.stages = stages;
    out.sections = stage_state[static_cast<std::size_t>(channel)].data();
    return true;
}

PlannedEffect plan_filter_effect(FilterKind kind, const ParamReader& params, float sample_rate,
                                 int channels, float default_frequency_hz, float default_q) {
    const int stage_count = params.read_int("stages", 1);
    const float slope = params.read_float("slope", 1.0f);
    const float gain_db = params.read_float("gain_db", 0.0f);
    const float q = params.read_float("q", default_q);
    const float frequency_hz = params.read_float("frequency_hz", default_frequency_hz);
    const BiquadCoefficients coefficients =
        design_biquad(kind, frequency_hz, q, gain_db, slope, sample_rate);
    const auto c = static_cast<std::uint64_t>(channels);
    EffectMemory memory;
    memory.size_key = "stages";
    memory.size_value = stage_count;
    memory.state_name = "filter state";
    memory.state = heap_array_bytes(c, sizeof(std::vector<BiquadState>)) +
                   heap_arrays_bytes(c, static_cast<std::uint64_t>(stage_count_used(stage_count)),
                                     sizeof(BiquadState));
    PlannedEffect planned = plan_effect<FilterEffect>(
        memory, [=] { return std::make_unique<FilterEffect>(coefficients, stage_count, channels); },
        LaneKind::biquad);
    planned.lane_sections = stage_count_used(stage_count);
    return planned;
}

}  // namespace kavri
