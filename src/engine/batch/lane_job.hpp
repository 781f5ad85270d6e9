// One group of lanes as the vector kernels take it: plain data, the same for every lane
// width, filled by the batch engine (batch.cpp) and run by the kernel of one instruction set
// (lanes_w4.cpp, lanes_w8.cpp, lanes_w16.cpp).
//
// A lane is one channel of one item. Every lane of a group walks the same steps; a step an
// item did not draw leaves its lanes untouched (they are not active in it), and a lane whose
// item has ended gives nothing more to its output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/batch/lane_params.hpp"

namespace kavri {

// A group holds one vector of lanes: 16 lanes for an AVX-512 register of floats at most.
// (Two vectors a group, for two recurrences to overlap, were measured slower: the 32 input
// and output streams of mono items cost more than the overlap gained.)
constexpr int kVectorsPerGroup = 1;
constexpr int kMaxLanes = 16 * kVectorsPerGroup;

// Frames a group takes at a time: every step runs over one chunk of every lane before the
// next chunk, so that the chunk (frames x lanes floats) stays in the first-level cache.
constexpr std::size_t kLaneChunk = 256;

struct LaneStep {
    LaneKind kind = LaneKind::none;
    // The lanes this step runs on (bit l for lane l).
    std::uint32_t active = 0;
    // Per lane: the effect's values as LaneParams gives them (zero in lanes not active).
    float value[kLaneValues][kMaxLanes] = {};
    // Biquad: sections per lane (0 where not active), the most of any lane, and each lane's
    // sections (the filter effect's own state).
    int stages[kMaxLanes] = {};
    int sections = 0;
    SectionState* state[kMaxLanes] = {};
    // Single-value running state of the other kinds (limiter gain, compressor envelope,
    // tremolo phase), per lane.
    float running[kMaxLanes] = {};
    // Delay: each lane's line, its length and the write position.
    float* line[kMaxLanes] = {};
    std::uint64_t line_length[kMaxLanes] = {};
    std::uint64_t line_position[kMaxLanes] = {};
};

struct LaneJob {
    int width = 0;  // lanes in a vector: 4, 8 or 16; a group has kVectorsPerGroup of them
    int lanes = 0;  // lanes in use, at most kVectorsPerGroup * width
    // Per lane: where its channel's samples are read and written (interleaved with `stride`
    // channels), and how many frames its item has.
    const float* input[kMaxLanes] = {};
    float* output[kMaxLanes] = {};
    std::uint64_t frames[kMaxLanes] = {};
    std::uint64_t stride[kMaxLanes] = {};
    std::uint64_t longest = 0;
    LaneStep* steps = nullptr;
    std::size_t step_count = 0;
    // kLaneScratchFloats floats, aligned to 64 bytes.
    float* scratch = nullptr;
};

// The chunk itself, a second chunk for the sines, envelopes and phases some steps keep, and
// one lane's row of a chunk three times over for the steps that work a lane at a time.
constexpr std::size_t kLaneScratchFloats = 2 * kLaneChunk * kMaxLanes + 3 * kLaneChunk;

}  // namespace kavri
