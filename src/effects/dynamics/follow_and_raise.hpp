// The peak followers of a dynamics law together with the powers the law takes of them, in one
// pass built for AVX-512.
//
// The followers' recurrence is a chain of dependent steps, each waiting on the last, and uses
// little of the processor; the powers depend on nothing but the envelopes. Taken one after
// the other, the chain runs first and the powers after. Here each few frames' powers are
// taken while the followers run on the next few, in the same loop, so that the processor does
// both at once. Every value is the one the separate passes give: the same follower steps
// (FollowerCoefficients::step) and powf's AVX-512 lanes, which give the scalar call's bits.
#pragma once

#include <cstddef>

#include "effects/dynamics/envelope.hpp"

namespace kavri {

// Follows `Width` (1, 2 or 4) neighbouring channels over m whole frames side by side (the
// sample of frame i, channel k at rows[i * Width + k]) from `state`, as
// FollowerCoefficients::walk does, writing each envelope to env[i * Width + k] and the final
// ones to state; and sets power[j] = powf(env[j] / divisor, exponent) for every j below
// m * Width. Built for AVX-512: call it only where vecmath::powf_runs_avx512(exponent) holds.
template <int Width>
void follow_and_raise_avx512(const FollowerCoefficients& follower, float (&state)[Width],
                             const float* rows, std::size_t m, float divisor, float exponent,
                             float* env, float* power);

}  // namespace kavri
