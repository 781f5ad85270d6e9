// The constant-power pan law shared by the pan, the auto-pan and the rotary speaker.
#pragma once

#include <cmath>

#include "effects/constants.hpp"

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

}  // namespace kavri
