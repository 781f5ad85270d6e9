// powf(x, y) of glibc 2.36 (x86_64, its FMA variant), several x at a time with one y, each
// lane bit for bit the scalar call.
//
// glibc picks __powf_fma at load time on processors with FMA: sysdeps/ieee754/flt-32/e_powf.c
// compiled with -mfma, in which the compiler fused these steps (read from `objdump -d
// libm.so.6`) and no others:
//   log2:  r = z * invc - 1;  A0 r + A1;  A2 r + A3;  A4 r + y0;  p r2 + q;  y r4 + q
//   exp2:  C0 r + C1;  C2 r + 1;  z r2 + y
// The rest (k + logc, r * r, r2 * r2, y * log2 x, the shift rounding, y * s) are single
// double operations, and the result is rounded to float once. The same steps here use the
// fused multiply-add explicitly, through P::fma, and plain operations elsewhere.
//
// Only the main path is vectorised: x a positive normal finite float and |y log2 x| < 126.
// Any other lane (zero, subnormal, negative, infinite or NaN x, or a result that may
// overflow or underflow) is recomputed by the scalar call, so every lane is the library's
// own result. Newer glibc releases changed powf's special cases: the dispatcher uses this
// code only on the library version it was proven against (`make prove-math`).
//
// P supplies the lane types (F: W floats, D: W doubles, U32/I32/U64 the integer vectors of
// the same lane counts) and fma, lookup16_pd (entries of a 16-double table), lookup32_u64
// (entries of a 32-word table) and any (whether any lane of a 64-bit mask is set) for one
// instruction set. A lookup gives the table's entries, however it reaches them (a gather, or
// permutations of the table held in registers), so the bits do not depend on it.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kavri::vecmath::detail {

struct PowfTables {
    // log2 x = log1p(z / c - 1) / ln 2 + log2 c + k, with z in [0x3f330000, 2 * 0x3f330000].
    // Entries as {invc, logc}, sixteen subintervals.
    static constexpr double log2_tab[16][2] = {
        {0x1.661ec79f8f3bep+0, -0x1.efec65b963019p-2},
        {0x1.571ed4aaf883dp+0, -0x1.b0b6832d4fca4p-2},
        {0x1.49539f0f010bp+0, -0x1.7418b0a1fb77bp-2},
        {0x1.3c995b0b80385p+0, -0x1.39de91a6dcf7bp-2},
        {0x1.30d190c8864a5p+0, -0x1.01d9bf3f2b631p-2},
        {0x1.25e227b0b8eap+0, -0x1.97c1d1b3b7afp-3},
        {0x1.1bb4a4a1a343fp+0, -0x1.2f9e393af3c9fp-3},
        {0x1.12358f08ae5bap+0, -0x1.960cbbf788d5cp-4},
        {0x1.0953f419900a7p+0, -0x1.a6f9db6475fcep-5},
        {0x1p+0, 0x0p+0},
        {0x1.e608cfd9a47acp-1, 0x1.338ca9f24f53dp-4},
        {0x1.ca4b31f026aap-1, 0x1.476a9543891bap-3},
        {0x1.b2036576afce6p-1, 0x1.e840b4ac4e4d2p-3},
        {0x1.9c2d163a1aa2dp-1, 0x1.40645f0c6651cp-2},
        {0x1.886e6037841edp-1, 0x1.88e9c2c1b9ff8p-2},
        {0x1.767dcf5534862p-1, 0x1.ce0a44eb17bccp-2},
    };
    static constexpr double log2_poly[5] = {0x1.27616c9496e0bp-2, -0x1.71969a075c67ap-2,
                                            0x1.ec70a6ca7baddp-2, -0x1.7154748bef6c8p-1,
                                            0x1.71547652ab82bp0};
    // 2^(i/32) as bits, less i << 47, so that adding k << 47 scales by 2^(k div 32).
    static constexpr std::uint64_t exp2_tab[32] = {
        0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
        0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
        0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
        0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
        0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
        0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
        0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
        0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
    };
    static constexpr double exp2_shift = 0x1.8p+52 / 32;
    static constexpr double exp2_poly[3] = {0x1.c6af84b912394p-5, 0x1.ebfce50fac4f3p-3,
                                            0x1.62e42ff0c52d6p-1};
};

// One column of a table of pairs, for lookups of whole registers.
template <std::size_t Column, std::size_t N>
constexpr std::array<double, N> table_column(const double (&table)[N][2]) {
    std::array<double, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = table[i][Column];
    }
    return out;
}

inline constexpr std::array<double, 16> log2_invc = table_column<0>(PowfTables::log2_tab);
inline constexpr std::array<double, 16> log2_logc = table_column<1>(PowfTables::log2_tab);

template <typename P>
struct PowfLanes {
    using F = typename P::F;
    using D = typename P::D;
    using U32 = typename P::U32;
    using I32 = typename P::I32;
    using U64 = typename P::U64;
    using I64 = typename P::I64;
    static constexpr int W = P::W;

    // out[i] = powf(x[i], y) for W lanes, y not zero, infinite or NaN (the caller's check).
    static void powf(const float* in, float y, float* out) {
        F x;  // a copy: out may be in
        std::memcpy(&x, in, sizeof x);
        const U32 ix = (U32)x;
        // The main path: 0x00800000 <= ix < 0x7f800000 (unsigned, so negatives fail too).
        const I32 off_path32 = (ix - 0x00800000u) >= 0x7f800000u - 0x00800000u;

        // log2 x: x = 2^k z with z in [OFF, 2 OFF), c the centre of z's subinterval.
        const U32 tmp = ix - 0x3f330000u;
        const U32 i = (tmp >> 19) & 15u;
        const U32 top = tmp & 0xff800000u;
        const U32 iz = ix - top;
        const I32 k = ((I32)top) >> 23;
        const D invc = P::lookup16_pd(log2_invc.data(), i);
        const D logc = P::lookup16_pd(log2_logc.data(), i);
        const D z = __builtin_convertvector((F)iz, D);
        const D r = P::fma(z, invc, D{} - 1.0);
        const D y0 = logc + __builtin_convertvector(k, D);
        const double* A = PowfTables::log2_poly;
        const D r2 = r * r;
        D yl = P::fma(D{} + A[0], r, D{} + A[1]);
        const D p = P::fma(D{} + A[2], r, D{} + A[3]);
        const D r4 = r2 * r2;
        D q = P::fma(D{} + A[4], r, y0);
        q = P::fma(p, r2, q);
        yl = P::fma(yl, r4, q);
        const D ylogx = static_cast<double>(y) * yl;
        // |y log2 x| >= 126: the library's overflow and underflow checks.
        const I64 off_path64 = (((U64)ylogx >> 47) & 0xffffu) >= 0x80bfu;

        // exp2: ylogx = k/32 + r with |r| <= 1/64, 2^(k/32) from the table and the exponent.
        D kd = ylogx + PowfTables::exp2_shift;
        const U64 ki = (U64)kd;
        kd -= PowfTables::exp2_shift;
        const D re = ylogx - kd;
        U64 t = P::lookup32_u64(PowfTables::exp2_tab, ki & 31u);
        t += ki << 47;
        const D s = (D)t;
        const double* C = PowfTables::exp2_poly;
        const D ze = P::fma(D{} + C[0], re, D{} + C[1]);
        const D re2 = re * re;
        D ye = P::fma(D{} + C[2], re, D{} + 1.0);
        ye = P::fma(ze, re2, ye);
        ye = ye * s;
        const F result = __builtin_convertvector(ye, F);
        std::memcpy(out, &result, sizeof result);

        const I64 off_path = __builtin_convertvector(off_path32, I64) | off_path64;
        if (P::any(off_path)) {
            for (int l = 0; l < W; ++l) {
                if (off_path[l] != 0) {
                    out[l] = std::pow(x[l], y);
                }
            }
        }
    }
};

}  // namespace kavri::vecmath::detail
