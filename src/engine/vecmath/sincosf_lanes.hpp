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
// to float once (the sign multiply and the second table's negated cosine coefficients are
// exact negations; see run). Arguments of 120 and above take the library's integer reduction with
// 4/pi to 192 bits, reproduced here with the same 32 x 96-bit product. Infinities and NaNs (which
// set errno in the library) are recomputed by the scalar call.
//
// P: as for PowfLanes, plus lookup16 (entries 0..15 of a uint32 table by index), mul_u32
// (the 64-bit products of the low 32 bits of each 64-bit lane) and int64_to_double (each
// lane rounded to the nearest double, as the scalar conversion rounds).
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
    static constexpr double pi63 = 0x1.921FB54442D18p-62;  // 2 pi / 2^64
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

    // |y| >= 120: the fixed-point product of the mantissa with 4/pi from the table, giving
    // the reduced argument and the quadrant n.
    static void reduce_large(U32 iy, D& x, I64& n) {
        const U32 index = (iy >> 26) & 15u;
        const U32 shift = (iy >> 23) & 7u;
        const U32 xi = ((iy & 0xffffffu) | 0x800000u) << shift;
        const U32 a0 = P::lookup16(T::inv_pio4, index);
        const U32 a4 = P::lookup16(T::inv_pio4 + 4, index);
        const U32 a8 = P::lookup16(T::inv_pio4 + 8, index);
        const U64 xi64 = __builtin_convertvector(xi, U64);
        const U64 res0_low = __builtin_convertvector(xi * a0, U64);
        const U64 res1 = P::mul_u32(xi64, __builtin_convertvector(a4, U64));
        const U64 res2 = P::mul_u32(xi64, __builtin_convertvector(a8, U64));
        U64 res0 = (res2 >> 32) | (res0_low << 32);
        res0 += res1;
        const U64 n_large = (res0 + (std::uint64_t{1} << 61)) >> 62;
        res0 -= n_large << 62;
        x = P::int64_to_double((I64)res0) * T::pi63;
        n = (I64)n_large;
    }

    // sinf (Cos false) or cosf (Cos true) of W floats from in to out (which may be in).
    //
    // The library multiplies the reduced argument by the quadrant's sign (+-1) before the
    // sine polynomial, and takes the cosine polynomial with every coefficient negated in the
    // quadrants that use its second table. Both are exact negations of the whole polynomial's
    // value (round-to-nearest is symmetric), so here the polynomials run on the unsigned
    // argument with the first table's coefficients and the result's sign is flipped after:
    // the same bits with fewer operations.
    template <bool Cos>
    static void run(const float* in, float* out) {
        F y;  // a copy: out may be in
        std::memcpy(&y, in, sizeof y);
        const U32 iy = (U32)y;
        const I32 top = (I32)((iy >> 20) & 0x7ffu);
        const D x = __builtin_convertvector(y, D);

        // n: the quadrant that picks the polynomial; q: the one that picks sign and table
        // (in the large path it includes the sign of y).
        D xr;
        I64 n;
        I64 q;
        const I64 large = __builtin_convertvector(top >= 0x42f, I64);
        if (!P::any(~large)) {
            // Every lane 120 or above (a long-running oscillator's phase): the large
            // reduction alone, as the selects below would keep it in every lane.
            reduce_large(iy, xr, n);
            q = n + __builtin_convertvector((I32)(iy >> 31), I64);
        } else {
            // |y| < 120: n = round(x 2/pi) by the scaled truncation, x - n pi/2 fused.
            const D r = x * T::hpi_inv;
            // The addition wraps (lanes of 120 and above, whose n is not used, may overflow).
            const I32 n_medium = (I32)((U32) __builtin_convertvector(r, I32) + 0x800000u) >> 24;
            const D x_medium = P::fma(-__builtin_convertvector(n_medium, D), D{} + T::hpi, x);
            // |y| < pi/4 is quadrant 0 unreduced.
            const I64 small = __builtin_convertvector(top < 0x3f4, I64);
            n = small ? I64{} : __builtin_convertvector(n_medium, I64);
            q = n;
            xr = small ? x : x_medium;
            if (P::any(large)) {
                D x_large;
                I64 n_large;
                reduce_large(iy, x_large, n_large);
                const I64 sign_bit = __builtin_convertvector((I32)(iy >> 31), I64);
                xr = large ? x_large : xr;
                n = large ? n_large : n;
                q = large ? n_large + sign_bit : q;
            }
        }

        const D x2 = xr * xr;
        // The sine polynomial.
        const D s1p = P::fma(x2, D{} + T::s3, D{} + T::s2);
        const D x3 = x2 * xr;
        const D x7 = x3 * x2;
        const D s = P::fma(x3, D{} + T::s1, xr);
        const D sine = P::fma(s1p, x7, s);
        // The cosine polynomial.
        const D x4 = x2 * x2;
        const D c1 = P::fma(x2, D{} + T::c1, D{} + T::c0);
        const D c2 = P::fma(x2, D{} + T::c4, D{} + T::c3);
        const D x6 = x4 * x2;
        const D c = P::fma(x4, D{} + T::c2, c1);
        const D cosine = P::fma(c2, x6, c);

        const I64 use_cosine = ((Cos ? n ^ 1 : n) & 1) != 0;
        // sign[q & 3] is -1 in quadrants 1 and 2; the second table is q & 2.
        const I64 negate_sine = ((q + 1) & 2) != 0;
        const I64 negate_cosine = (q & 2) != 0;
        const I64 negate = use_cosine ? negate_cosine : negate_sine;
        const D value = use_cosine ? cosine : sine;
        F result = __builtin_convertvector(negate ? -value : value, F);
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
