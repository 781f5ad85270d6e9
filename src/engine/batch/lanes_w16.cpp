// The lane kernels at 16 lanes (AVX-512F). Only this file is compiled for that instruction set,
// through the pragma below, and the batch engine calls it only on processors that have it.
// Nothing is fused: -ffp-contract=off holds here too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx512f")

#include <immintrin.h>

#include "effects/constants.hpp"
#include "engine/batch/lane_job.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri::lanes_w16 {

namespace {

using V = float __attribute__((vector_size(64)));
using M = std::int32_t __attribute__((vector_size(64)));
using U = std::uint32_t __attribute__((vector_size(64)));

// Streaming stores of whole output lines (an aligned 64 bytes) and the fence that orders
// them before the run's end.
void stream_store(float* p, V v) {
    _mm512_stream_ps(p, (__m512)v);
}
void stream_fence() {
    _mm_sfence();
}
#define KAVRI_LANES_STREAM_STORE 1

#include "engine/batch/lane_kernels.hpp"

}  // namespace

void run(const LaneJob& job) {
    LaneKernels<V, M, U, kVectorsPerGroup>::run(job);
}

}  // namespace kavri::lanes_w16

#pragma GCC pop_options
