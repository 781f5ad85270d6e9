// The array walk shared by the per-instruction-set translation units.
#pragma once

#include <cstddef>
#include <cstring>

namespace kavri::vecmath::detail {

// out[i] = fn(in[i]) for n floats, a whole vector at a time; the last partial vector is
// padded with zeros in a local copy and only its n % width results are stored. in and out
// may be the same array.
template <typename V, typename Fn>
inline void map_lanes(const float* in, float* out, std::size_t n, const Fn& fn) {
    constexpr std::size_t width = sizeof(V) / sizeof(float);
    std::size_t i = 0;
    for (; i + width <= n; i += width) {
        V x;
        std::memcpy(&x, in + i, sizeof(V));
        const V y = fn(x);
        std::memcpy(out + i, &y, sizeof(V));
    }
    if (i < n) {
        float tail[width] = {};
        std::memcpy(tail, in + i, (n - i) * sizeof(float));
        V x;
        std::memcpy(&x, tail, sizeof(V));
        const V y = fn(x);
        std::memcpy(tail, &y, sizeof(V));
        std::memcpy(out + i, tail, (n - i) * sizeof(float));
    }
}

}  // namespace kavri::vecmath::detail

namespace kavri::vecmath::detail {

// fn(in + i, out + i) on W floats at a time; the last partial group goes through a local
// copy padded with ones, and only its own results are stored.
template <int W, typename Fn>
inline void map_lanes_with(const float* in, float* out, std::size_t n, const Fn& fn) {
    std::size_t i = 0;
    for (; i + W <= n; i += W) {
        fn(in + i, out + i);
    }
    if (i < n) {
        float tail[W];
        for (int l = 0; l < W; ++l) {
            tail[l] = 1.0f;
        }
        std::memcpy(tail, in + i, (n - i) * sizeof(float));
        fn(tail, tail);
        std::memcpy(out + i, tail, (n - i) * sizeof(float));
    }
}

}  // namespace kavri::vecmath::detail
