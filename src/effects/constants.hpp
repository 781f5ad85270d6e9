// Single-precision constants shared by the effects, written as the exact literals the
// arithmetic uses.
#pragma once

namespace kavri {

constexpr float kTwoPi = 6.2831855f;
constexpr float kPi = 3.1415927f;
constexpr float kHalfPi = 1.5707964f;
constexpr float kQuarterPi = 0.7853982f;
constexpr float kInvSqrt2 = 0.70710677f;

// The slowest rate an LFO runs at: slower rates are held here.
constexpr float kSlowestLfoHz = 0.01f;

}  // namespace kavri
