// tanf of glibc 2.36 (x86_64), several lanes at a time, each lane bit for bit the scalar call.
//
// Reproduces sysdeps/ieee754/flt-32/s_tanf.c and k_tanf.c as glibc 2.36 builds them for
// x86_64: plain code with no FMA variant and nothing fused (checked against `objdump -d
// libm.so.6`). Arguments up to pi/4 go straight to the kernel; up to 120 they are reduced
// in double precision by x - n pi/2 (a multiply, then a subtraction) and split into a high
// and a low float. Arguments of 120 and above, infinities and NaNs are recomputed by the
// scalar call. Newer glibc releases rewrote tanf: the dispatcher uses this code only on the
// library version it was proven against (`make prove-math`).
//
// P: as for PowfLanes (W lanes of float in F, of double in D).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kavri::vecmath::detail {

template <typename P>
struct TanfLanes {
    using F = typename P::F;
    using D = typename P::D;
    using U32 = typename P::U32;
    using I32 = typename P::I32;
    using I64 = typename P::I64;
    static constexpr int W = P::W;

    // The kernel's constants as the library spells them: double literals rounded to float.
    static constexpr float kPio4 = static_cast<float>(7.8539812565e-01);    // 0x3f490fda
    static constexpr float kPio4Lo = static_cast<float>(3.7748947079e-08);  // 0x33222168
    static constexpr float kT[13] = {
        static_cast<float>(3.3333334327e-01), static_cast<float>(1.3333334029e-01),
        static_cast<float>(5.3968254477e-02), static_cast<float>(2.1869488060e-02),
        static_cast<float>(8.8632395491e-03), static_cast<float>(3.5920790397e-03),
        static_cast<float>(1.4562094584e-03), static_cast<float>(5.8804126456e-04),
        static_cast<float>(2.4646313977e-04), static_cast<float>(7.8179444245e-05),
        static_cast<float>(7.1407252108e-05), static_cast<float>(-1.8558637748e-05),
        static_cast<float>(2.5907305826e-05)};
    static constexpr double kHpiInv = 0x1.45F306DC9C883p+23;  // 2/pi, times 2^24
    static constexpr double kHpi = 0x1.921FB54442D18p0;

    static F bits_and(F v, std::uint32_t mask) { return (F)((U32)v & mask); }

    // The kernel: tan(x + y) for |x + y| <= pi/4 when iy is 1, -1/tan(x + y) when iy is -1.
    static F kernel(F x, F y, I32 iy) {
        const I32 hx = (I32)x;
        const I32 ix = hx & 0x7fffffff;
        const F one = F{} + 1.0f;
        const F iy_f = __builtin_convertvector(iy, F);

        // |x| < 2^-13: x, or -1/x, or 1/|x| for a zero with iy = -1.
        const F abs_x = bits_and(x, 0x7fffffffu);
        F tiny = iy == 1 ? x : (F{} - 1.0f) / x;
        tiny = (ix | (iy + 1)) == 0 ? one / abs_x : tiny;

        // |x| >= 0.6744: tan(pi/4 - |x|) in the polynomial instead, the sign put back after.
        const I32 big = ix >= 0x3f2ca140;
        const I32 negative = hx < 0;
        const F xb = negative ? -x : x;
        const F yb = negative ? -y : y;
        const F zb = kPio4 - xb;
        const F wb = kPio4Lo - yb;
        const F x_big = zb + wb;
        const F sign = __builtin_convertvector(1 - ((hx >> 30) & 2), F);
        // ... and where that leaves less than 2^-13, the first-order value.
        const I32 big_near = bits_and(x_big, 0x7fffffffu) < 0x1p-13f;
        const F near = __builtin_convertvector((1 - ((hx >> 30) & 2)) * iy, F) *
                       (1.0f - __builtin_convertvector(2 * iy, F) * x_big);

        const F xp = big ? x_big : x;
        const F yp = big ? F{} : y;
        const F z = xp * xp;
        const F w = z * z;
        F r = kT[1] + w * (kT[3] + w * (kT[5] + w * (kT[7] + w * (kT[9] + w * kT[11]))));
        const F v =
            z * (kT[2] + w * (kT[4] + w * (kT[6] + w * (kT[8] + w * (kT[10] + w * kT[12])))));
        const F s = z * xp;
        r = yp + z * (s * (r + v) + yp);
        r += kT[0] * s;
        const F sum = xp + r;

        const F from_big = sign * (iy_f - 2.0f * (xp - (sum * sum / (sum + iy_f) - r)));
        // iy = -1 below 0.6744: -1/(x + r) with the split that keeps it accurate.
        const F zc = bits_and(sum, 0xfffff000u);
        const F vc = r - (zc - xp);
        const F a = (F{} - 1.0f) / sum;
        const F t = bits_and(a, 0xfffff000u);
        const F sc = 1.0f + t * zc;
        const F inverted = t + a * (sc + t * vc);

        F result = iy == 1 ? sum : inverted;
        result = big ? (big_near ? near : from_big) : result;
        return ix < 0x39000000 ? tiny : result;
    }

    static void run(const float* in, float* out) {
        F x;  // a copy: out may be in
        std::memcpy(&x, in, sizeof x);
        const U32 bits = (U32)x;
        const U32 ix = bits & 0x7fffffffu;
        const I32 direct = (I32)ix <= 0x3f490fda;  // |x| ~< pi/4
        const I32 top = (I32)((bits >> 20) & 0x7ffu);

        // Below 120: n = round(x 2/pi) by the scaled truncation, x - n pi/2 unfused, split
        // into a float and the float of what it leaves.
        const D dx = __builtin_convertvector(x, D);
        const D r = dx * kHpiInv;
        // The addition wraps (lanes of 120 and above, whose n is not used, may overflow).
        const I32 n = (I32)((U32) __builtin_convertvector(r, I32) + 0x800000u) >> 24;
        const D reduced = dx - __builtin_convertvector(n, D) * kHpi;
        const F high = __builtin_convertvector(reduced, F);
        const F low = __builtin_convertvector(reduced - __builtin_convertvector(high, D), F);
        const I32 iy_reduced = 1 - ((n & 1) << 1);

        const F kx = direct ? x : high;
        const F ky = direct ? F{} : low;
        const I32 iy = direct ? I32{} + 1 : iy_reduced;
        const F result = kernel(kx, ky, iy);
        std::memcpy(out, &result, sizeof result);

        // 120 and above, infinities and NaNs: the scalar call.
        const I64 scalar = __builtin_convertvector(~direct & (top >= 0x42f), I64);
        if (P::any(scalar)) {
            for (int l = 0; l < W; ++l) {
                if (scalar[l] != 0) {
                    out[l] = std::tan(x[l]);
                }
            }
        }
    }
};

}  // namespace kavri::vecmath::detail
