// tanhf of glibc 2.36 (x86_64), several lanes at a time, each lane bit for bit the scalar call.
//
// Reproduces sysdeps/ieee754/flt-32/s_tanhf.c and the part of s_expm1f.c that it reaches, as
// glibc 2.36 builds them for x86_64: plain single-precision operations, no fused
// multiply-add (checked against `objdump -d libm.so.6`), no FMA variant chosen at load time.
// Every branch of the scalar code is computed for every lane and the lane's own branch is
// selected, so each lane sees exactly the operations, in exactly the order, of its scalar
// call. Newer glibc releases rewrote tanhf and expm1f: the dispatcher uses this code only on
// the library version it was proven against (`make prove-math` compares all 2**32 inputs).
//
// Included by the translation units built for one instruction set each; it has no target of
// its own. V is a GCC vector of float, I and U the vectors of int32 and uint32 of the same
// width; a C-style cast between two of them keeps the bits.
#pragma once

#include <cstdint>

namespace kavri::vecmath::detail {

template <typename V, typename I, typename U>
struct TanhfLanes {
    static V bits_to_float(U u) { return (V)u; }
    static U float_to_bits(V v) { return (U)v; }

    // Constants spelled as the library spells them: double literals rounded to float.
    static constexpr float kLn2Hi = static_cast<float>(6.9313812256e-01);   // 0x3f317180
    static constexpr float kLn2Lo = static_cast<float>(9.0580006145e-06);   // 0x3717f7d1
    static constexpr float kInvLn2 = static_cast<float>(1.4426950216e+00);  // 0x3fb8aa3b
    static constexpr float kQ1 = static_cast<float>(-3.3333335072e-02);     // 0xbd088889
    static constexpr float kQ2 = static_cast<float>(1.5873016091e-03);      // 0x3ad00d01
    static constexpr float kQ3 = static_cast<float>(-7.9365076090e-05);     // 0xb8a670cd
    static constexpr float kQ4 = static_cast<float>(4.0082177293e-06);      // 0x36867e54
    static constexpr float kQ5 = static_cast<float>(-2.0109921195e-07);     // 0xb457edbb

    // expm1f(a) for the arguments tanhf passes: a = 2|x| in [2, 44) or a = -2|x| in (-2, 0).
    // The library's overflow, infinity and NaN paths and its path for a <= -27 ln2 are never
    // reached from there and are left out.
    static V expm1f(V a) {
        const U hx_signed = float_to_bits(a);
        const I negative = (I)hx_signed < 0;
        const U hx = hx_signed & 0x7fffffffu;

        // Argument reduction: k = 1 or -1 near +-ln2, else k = round(a / ln2) by truncation
        // of a / ln2 +- 0.5, with hi - lo the reduced argument and c its rounding error.
        const V one = V{} + 1.0f;
        const V hi1 = negative ? a + kLn2Hi : a - kLn2Hi;
        const V lo1 = negative ? V{} - kLn2Lo : V{} + kLn2Lo;
        const I k1 = negative ? I{} - 1 : I{} + 1;
        const V kf = kInvLn2 * a + (negative ? V{} - 0.5f : V{} + 0.5f);
        const I kg = __builtin_convertvector(kf, I);
        const V tg = __builtin_convertvector(kg, V);
        const V hig = a - tg * kLn2Hi;
        const V log = tg * kLn2Lo;
        const I near_ln2 = (I)hx < 0x3F851592;
        const V hi = near_ln2 ? hi1 : hig;
        const V lo = near_ln2 ? lo1 : log;
        const I reduced = (I)hx > 0x3eb17218;
        const I k = reduced ? (near_ln2 ? k1 : kg) : I{};
        const V xr_reduced = hi - lo;
        const V c = (hi - xr_reduced) - lo;
        const V x = reduced ? xr_reduced : a;

        // The rational approximation on the reduced argument.
        const V hfx = 0.5f * x;
        const V hxs = x * hfx;
        const V r1 = one + hxs * (kQ1 + hxs * (kQ2 + hxs * (kQ3 + hxs * (kQ4 + hxs * kQ5))));
        const V t = 3.0f - r1 * hfx;
        V e = hxs * ((r1 - t) / (6.0f - x * t));
        const V result_k0 = x - (x * e - hxs);

        e = (x * (e - c) - c);
        e -= hxs;
        const V result_km1 = 0.5f * (x - e) - 0.5f;
        const V result_k1 = x < -0.25f ? -2.0f * (e - (x + 0.5f)) : one + 2.0f * (x - e);
        const U k_exponent = (U)k << 23;
        // k <= -2 or k > 56: 1 - (e - x) scaled by 2**k, less one.
        const V scaled_far = bits_to_float(float_to_bits(one - (e - x)) + k_exponent) - 1.0f;
        // 2 <= k < 23: (1 - 2**-k) - (e - x) scaled by 2**k.
        const U shift = (U)k & 31u;
        const V t_mid = bits_to_float(0x3f800000u - ((U{} + 0x1000000u) >> shift));
        const V scaled_mid = bits_to_float(float_to_bits(t_mid - (e - x)) + k_exponent);
        // 23 <= k <= 56: x - (e + 2**-k), plus one, scaled by 2**k.
        const V t_high = bits_to_float((0x7fu - (U)k) << 23);
        V y_high = x - (e + t_high);
        y_high += one;
        const V scaled_high = bits_to_float(float_to_bits(y_high) + k_exponent);

        const V scaled = (k <= -2 || k > 56) ? scaled_far : (k < 23 ? scaled_mid : scaled_high);
        V result = k == 1 ? result_k1 : scaled;
        result = k == -1 ? result_km1 : result;
        result = k == 0 ? result_k0 : result;
        // |a| < 2**-25: a itself.
        return (I)hx < 0x33000000 ? a : result;
    }

    static V tanhf(V x) {
        const U jx_bits = float_to_bits(x);
        const I jx = (I)jx_bits;
        const I ix = jx & 0x7fffffff;
        const V ax = bits_to_float(jx_bits & 0x7fffffffu);
        const V one = V{} + 1.0f;
        const V two = V{} + 2.0f;

        // 1 <= |x| < 22: 1 - 2 / (expm1(2|x|) + 2); |x| < 1: -t / (t + 2), t = expm1(-2|x|).
        const I at_least_one = ix >= 0x3f800000;
        const V t = expm1f(at_least_one ? two * ax : -2.0f * ax);
        V z = at_least_one ? one - two / (t + two) : -t / (t + two);
        // |x| >= 22: one less a tiny amount, which rounds to one.
        const float saturated = 1.0f - 1.0e-30f;
        z = ix >= 0x41b00000 ? V{} + saturated : z;
        z = jx >= 0 ? z : -z;
        // |x| < 2**-55: x (1 + x).
        z = ix < 0x24000000 ? x * (one + x) : z;
        z = ix == 0 ? x : z;
        // Infinities and NaNs: 1/x + 1 or 1/x - 1 by the sign bit.
        const V inverse = one / x;
        const V special = jx >= 0 ? inverse + one : inverse - one;
        return ix >= 0x7f800000 ? special : z;
    }
};

}  // namespace kavri::vecmath::detail
