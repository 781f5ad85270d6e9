// The vector math functions built for AVX-512F with AVX-512DQ, through the pragma below (the
// one other file built so is the dynamics' follow_and_raise_avx512.cpp); the dispatcher calls
// them only on processors that have it. Nothing is fused unless a function does it explicitly with
// P::fma, where the library's own code was fused (-ffp-contract=off holds here too).
#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")

#include "engine/vecmath/avx512_doubles.hpp"
#include "engine/vecmath/powf_lanes.hpp"
#include "engine/vecmath/sincosf_lanes.hpp"
#include "engine/vecmath/tanf_lanes.hpp"
#include "engine/vecmath/tanhf_lanes.hpp"
#include "engine/vecmath/vecmath_impl.hpp"

namespace kavri::vecmath::detail {

namespace {

using V16 = float __attribute__((vector_size(64)));
using I16 = std::int32_t __attribute__((vector_size(64)));
using U16 = std::uint32_t __attribute__((vector_size(64)));

struct Tanhf {
    V16 operator()(V16 x) const { return TanhfLanes<V16, I16, U16>::tanhf(x); }
};

}  // namespace

void tanhf_avx512(const float* in, float* out, std::size_t n) {
    map_lanes<V16>(in, out, n, Tanhf{});
}

void powf_avx512(const float* in, float y, float* out, std::size_t n) {
    map_lanes_with<Avx512Doubles::W>(
        in, out, n, [y](const float* x, float* r) { PowfLanes<Avx512Doubles>::powf(x, y, r); });
}

void sinf_avx512(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx512Doubles::W>(in, out, n, [](const float* x, float* r) {
        SincosfLanes<Avx512Doubles>::run<false>(x, r);
    });
}

void cosf_avx512(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx512Doubles::W>(
        in, out, n, [](const float* x, float* r) { SincosfLanes<Avx512Doubles>::run<true>(x, r); });
}

void tanf_avx512(const float* in, float* out, std::size_t n) {
    map_lanes_with<Avx512Doubles::W>(
        in, out, n, [](const float* x, float* r) { TanfLanes<Avx512Doubles>::run(x, r); });
}

}  // namespace kavri::vecmath::detail

#pragma GCC pop_options
