// The lane kernels at 4 lanes, in the baseline instruction set (SSE2) that every x86-64
// processor has.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "effects/constants.hpp"
#include "engine/batch/lane_job.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri::lanes_w4 {

namespace {

using V = float __attribute__((vector_size(16)));
using M = std::int32_t __attribute__((vector_size(16)));
using U = std::uint32_t __attribute__((vector_size(16)));

#include "engine/batch/lane_kernels.hpp"

}  // namespace

void run(const LaneJob& job) {
    LaneKernels<V, M, U, kVectorsPerGroup>::run(job);
}

}  // namespace kavri::lanes_w4
