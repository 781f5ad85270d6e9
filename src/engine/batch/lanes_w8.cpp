// The lane kernels at 8 lanes (AVX2). Only this file is compiled for that instruction set,
// through the pragma below, and the batch engine calls it only on processors that have it.
// Nothing is fused: -ffp-contract=off holds here too.
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx2")

#include "effects/constants.hpp"
#include "engine/batch/lane_job.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri::lanes_w8 {

namespace {

using V = float __attribute__((vector_size(32)));
using M = std::int32_t __attribute__((vector_size(32)));
using U = std::uint32_t __attribute__((vector_size(32)));

#include "engine/batch/lane_kernels.hpp"

}  // namespace

void run(const LaneJob& job) {
    LaneKernels<V, M, U, kVectorsPerGroup>::run(job);
}

}  // namespace kavri::lanes_w8

#pragma GCC pop_options
