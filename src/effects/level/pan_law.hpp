// The constant-power pan law shared by the pan, the auto-pan and the rotary speaker.
#pragma once

#include <cmath>
#include <cstddef>

#include "effects/constants.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

struct PanGains {
    float left;
    float right;
};

// Pan value p in [-1, 1]: -1 is full left, 0 centre (both 0.70710677), 1 full right. The
// left gain at full right is cosf(1.5707964), a tiny negative number, left as it is.
inline PanGains pan_gains(float p) {
    const float angle = (1.0f + p) * kQuarterPi;
    return {std::cos(angle), std::sin(angle)};
}

// pan_gains of n pan values at once, into left[i] and right[i], bit for bit: the angles
// first, then their cosines and sines by the vector math that gives the library's bits.
// `angle` is scratch of n floats.
inline void pan_gains_run(const float* p, float* angle, float* left, float* right, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        angle[i] = (1.0f + p[i]) * kQuarterPi;
    }
    vecmath::cosf_array(angle, left, n);
    vecmath::sinf_array(angle, right, n);
}

}  // namespace kavri
