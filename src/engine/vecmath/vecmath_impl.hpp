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
