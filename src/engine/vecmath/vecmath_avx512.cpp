// The vector math functions built for AVX-512F (sixteen lanes). Only this file is compiled for the
// instruction set, through the pragma below; the dispatcher calls it only on processors
// that have it. Nothing is fused unless a
// function says so with an explicit fused multiply-add (-ffp-contract=off holds here too).
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx512f")

#include "engine/vecmath/tanhf_lanes.hpp"
#include "engine/vecmath/vecmath_impl.hpp"

namespace kavri::vecmath::detail {

namespace {
using V16 = float __attribute__((vector_size(64)));
using I16 = std::int32_t __attribute__((vector_size(64)));
using U16 = std::uint32_t __attribute__((vector_size(64)));
}  // namespace

namespace {
struct Tanhf {
    V16 operator()(V16 x) const { return TanhfLanes<V16, I16, U16>::tanhf(x); }
};
}  // namespace

void tanhf_avx512(const float* in, float* out, std::size_t n) { map_lanes<V16>(in, out, n, Tanhf{}); }

}  // namespace kavri::vecmath::detail

#pragma GCC pop_options
