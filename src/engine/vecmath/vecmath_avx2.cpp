// The vector math functions built for AVX2 (eight lanes). Only this file is compiled for the
// instruction set, through the pragma below; the dispatcher calls it only on processors
// that have it. Nothing is fused unless a
// function says so with an explicit fused multiply-add (-ffp-contract=off holds here too).
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx2,fma")

#include "engine/vecmath/tanhf_lanes.hpp"
#include "engine/vecmath/vecmath_impl.hpp"

namespace kavri::vecmath::detail {

namespace {
using V8 = float __attribute__((vector_size(32)));
using I8 = std::int32_t __attribute__((vector_size(32)));
using U8 = std::uint32_t __attribute__((vector_size(32)));
}  // namespace

namespace {
struct Tanhf {
    V8 operator()(V8 x) const { return TanhfLanes<V8, I8, U8>::tanhf(x); }
};
}  // namespace

void tanhf_avx2(const float* in, float* out, std::size_t n) { map_lanes<V8>(in, out, n, Tanhf{}); }

}  // namespace kavri::vecmath::detail

#pragma GCC pop_options
