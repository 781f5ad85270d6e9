// sinf and cosf of glibc 2.36 (x86_64, their FMA variants), several lanes at a time, each
// lane bit for bit the scalar call.
//
// glibc picks __sinf_fma and __cosf_fma at load time on processors with FMA:
// sysdeps/ieee754/flt-32/s_sinf.c and s_cosf.c with the x86 polynomial layout
// (sysdeps/x86/fpu/sincosf_poly.h, s_sincosf_data.c), compiled with -mfma. The compiler
// fused these steps (read from `objdump -d libm.so.6`) and no others:
//   reduction:  x - n * pi/2                     (one fused negated multiply-add)
//   sine:       s2 + x2 s3;  x + x3 s1;  s + x7 s1'
//   cosine:     c0 + x2 c1;  c3 + x2 c4;  c1' + x4 c2;  c + x6 c2'
// The rest (x * 2/pi, the products x*x, x2*x, x2*x2, x3*x2, x4*x2, the sign multiply, the
// large-argument scaling by pi/2^63) are single double operations, and the result is rounded
// to float once. Arguments of 120 and above take the library's integer reduction with 4/pi
// to 192 bits, reproduced here with the same 32 x 96-bit product. Infinities and NaNs (which
// set errno in the library) are recomputed by the scalar call.
//
// P: as for PowfLanes, plus gather_u32 (uint32 at base + 4 * index) and mul_u32 (the 64-bit
// products of the low 32 bits of each 64-bit lane).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace kavri::vecmath::detail {

struct SincosfTables {
    // The polynomial coefficients of the first table; the second negates the cosine ones.
    static constexpr double c0 = 0x1p0;
    static constexpr double c1 = -0x1.ffffffd0c621cp-2;
    static constexpr double c2 = 0x1.55553e1068f19p-5;
    static constexpr double c3 = -0x1.6c087e89a359dp-10;
    static constexpr double c4 = 0x1.99343027bf8c3p-16;
    static constexpr double s1 = -0x1.555545995a603p-3;
    static constexpr double s2 = 0x1.1107605230bc4p-7;
    static constexpr double s3 = -0x1.994eb3774cf24p-13;
    static constexpr double hpi_inv = 0x1.45F306DC9C883p+23;  // 2/pi, times 2^24
    static constexpr double hpi = 0x1.921FB54442D18p0;
    static constexpr double pi63 = 0x1.921FB54442D18p-62;     // 2 pi / 2^64
    // 4/pi to 192 bits, eight new bits per entry.
    static constexpr std::uint32_t inv_pio4[24] = {
        0xa2,       0xa2f9,     0xa2f983,   0xa2f9836e, 0xf9836e4e, 0x836e4e44,
        0x6e4e4415, 0x4e441529, 0x441529fc, 0x1529fc27, 0x29fc2757, 0xfc2757d1,
        0x2757d1f5, 0x57d1f534, 0xd1f534dd, 0xf534ddc0, 0x34ddc0db, 0xddc0db62,
        0xc0db6295, 0xdb629599, 0x6295993c, 0x95993c43, 0x993c4390, 0x3c439041};
};

template <typename P>
struct SincosfLanes {
    using F = typename P::F;
    using D = typename P::D;
    using U32 = typename P::U32;
    using I32 = typename P::I32;
    using U64 = typename P::U64;
    using I64 = typename P::I64;
    static constexpr int W = P::W;
    using T = SincosfTables;

    // A 64-bit signed integer to the nearest double: the high half times 2^32 and the low
    // half are both exact, so their sum is rounded once, as the scalar conversion rounds.
    static D int64_to_double(I64 v) {
        const I32 high = __builtin_convertvector(v >> 32, I32);
        const U32 low = __builtin_convertvector((U64)v & 0xffffffffu, U32);
        const D high_d = __builtin_convertvector(high, D) * 4294967296.0;
        const D low_d = __builtin_convertvector((I32)(low ^ 0x80000000u), D) + 2147483648.0;
        return high_d + low_d;
    }

    // sinf (Cos false) or cosf (Cos true) of W floats from in to out (which may be in).
    template <bool Cos>
    static void run(const float* in, float* out) {
        F y;  // a copy: out may be in
        std::memcpy(&y, in, sizeof y);
        const U32 iy = (U32)y;
        const I32 top = (I32)((iy >> 20) & 0x7ffu);
        const D x = __builtin_convertvector(y, D);
        const I64 small = __builtin_convertvector(top < 0x3f4, I64);    // |y| < pi/4
        const I64 medium = __builtin_convertvector(top < 0x42f, I64);   // |y| < 120

        // |y| < 120: n = round(x 2/pi) by the scaled truncation, x - n pi/2 fused.
        const D r = x * T::hpi_inv;
        const I32 n_medium = (__builtin_convertvector(r, I32) + 0x800000) >> 24;
        const D x_medium = P::fma(-__builtin_convertvector(n_medium, D), D{} + T::hpi, x);

        // |y| >= 120: the fixed-point product of the mantissa with 4/pi from the table.
        const U32 index = (iy >> 26) & 15u;
        const U32 shift = (iy >> 23) & 7u;
        const U32 xi = ((iy & 0xffffffu) | 0x800000u) << shift;
        const U32 a0 = P::gather_u32(T::inv_pio4, (I32)index);
        const U32 a4 = P::gather_u32(T::inv_pio4 + 4, (I32)index);
        const U32 a8 = P::gather_u32(T::inv_pio4 + 8, (I32)index);
        const U64 xi64 = __builtin_convertvector(xi, U64);
        const U64 res0_low = __builtin_convertvector(xi * a0, U64);
        const U64 res1 = P::mul_u32(xi64, __builtin_convertvector(a4, U64));
        const U64 res2 = P::mul_u32(xi64, __builtin_convertvector(a8, U64));
        U64 res0 = (res2 >> 32) | (res0_low << 32);
        res0 += res1;
        const U64 n_large = (res0 + (std::uint64_t{1} << 61)) >> 62;
        res0 -= n_large << 62;
        const D x_large = int64_to_double((I64)res0) * T::pi63;
        // The large path's quadrant for the sign and table includes the sign of y.
        const I64 sign_bit = __builtin_convertvector((I32)(iy >> 31), I64);

        const I64 n_med64 = __builtin_convertvector(n_medium, I64);
        // n: the quadrant that picks the polynomial; q: the one that picks sign and table.
        I64 n = medium ? n_med64 : (I64)n_large;
        I64 q = medium ? n_med64 : (I64)n_large + sign_bit;
        n = small ? I64{} : n;
        q = small ? I64{} : q;
        D xr = medium ? x_medium : x_large;
        xr = small ? x : xr;

        const I64 negative_sign = ((q & 3) == 1) | ((q & 3) == 2);
        const I64 second_table = (q & 2) != 0;
        const D sign = negative_sign ? D{} - 1.0 : D{} + 1.0;
        // The second table negates the cosine coefficients.
        const D c_sign = second_table ? D{} - 1.0 : D{} + 1.0;
        const D x2 = xr * xr;
        const I64 use_cosine = ((Cos ? n ^ 1 : n) & 1) != 0;

        // The sine polynomial on x times the quadrant's sign.
        const D xs = xr * sign;
        const D s1p = P::fma(x2, D{} + T::s3, D{} + T::s2);
        const D x3 = x2 * xs;
        const D x7 = x3 * x2;
        const D s = P::fma(x3, D{} + T::s1, xs);
        const D sine = P::fma(s1p, x7, s);
        // The cosine polynomial.
        const D x4 = x2 * x2;
        const D c1 = P::fma(x2, c_sign * T::c1, c_sign * T::c0);
        const D c2 = P::fma(x2, c_sign * T::c4, c_sign * T::c3);
        const D x6 = x4 * x2;
        const D c = P::fma(x4, c_sign * T::c2, c1);
        const D cosine = P::fma(c2, x6, c);

        F result = __builtin_convertvector(use_cosine ? cosine : sine, F);
        // |y| < 2^-12: sinf returns y, cosf one.
        const I32 tiny = top < 0x398;
        result = tiny ? (Cos ? F{} + 1.0f : y) : result;
        std::memcpy(out, &result, sizeof result);

        // Infinities and NaNs: the scalar call, which also sets errno as the library does.
        const I64 not_finite = __builtin_convertvector(top >= 0x7f8, I64);
        if (P::any(not_finite)) {
            for (int l = 0; l < W; ++l) {
                if (not_finite[l] != 0) {
                    out[l] = Cos ? std::cos(y[l]) : std::sin(y[l]);
                }
            }
        }
    }
};

}  // namespace kavri::vecmath::detail
