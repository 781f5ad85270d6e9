// Parameter clamps, written as one-sided comparisons with the lower bound first: a NaN fails
// every comparison and passes through unchanged.
#pragma once

namespace kavri {

inline float at_least(float value, float lower) {
    if (value < lower) {
        value = lower;
    }
    return value;
}

inline float clamp_to(float value, float lower, float upper) {
    if (value < lower) {
        value = lower;
    }
    if (upper < value) {
        value = upper;
    }
    return value;
}

}  // namespace kavri
