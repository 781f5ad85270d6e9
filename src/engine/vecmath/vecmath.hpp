// Vector versions of the platform's single-precision math functions that return, lane for
// lane, exactly the bits of the scalar call.
//
// They reproduce glibc 2.36's x86_64 code operation for operation (see each *_lanes.hpp for
// the function it follows and the fusions it keeps) and are used only where that holds:
//   - the C library reports version 2.36 (gnu_get_libc_version), the one the proofs ran on;
//   - the processor has AVX-512F with AVX-512DQ, or else AVX2 with FMA;
//   - a self-check when the library is loaded, against the scalar call on branch
//     thresholds, special values and random bit patterns, agrees bit for bit;
//   - the calling thread's vector unit is in its standard state (MXCSR: rounding to nearest,
//     no flush-to-zero, no denormals-are-zero, exceptions masked), read once on every call.
// Otherwise, and for every function whose check failed, the scalar call runs. `make
// prove-math` compares every implementation with the scalar call over all 2**32 inputs.
#pragma once

#include <cstddef>

namespace kavri::vecmath {

enum class Isa { scalar, avx2, avx512 };

const char* isa_name(Isa isa);

// Whether this processor and C library can run an implementation at all (scalar always).
bool isa_available(Isa isa);

// out[i] = tanhf(in[i]) for n floats, bit for bit; in and out may be the same array.
void tanhf_array(const float* in, float* out, std::size_t n);

// The implementation tanhf_array runs in round-to-nearest, chosen when the library loaded.
Isa tanhf_isa();

// Runs one implementation whatever was chosen, for the tests and the proof. Returns false,
// writing nothing, when isa_available(isa) is false.
bool tanhf_array_with(Isa isa, const float* in, float* out, std::size_t n);

// out[i] = sinf(in[i]) and cosf(in[i]), bit for bit; in and out may be the same array.
void sinf_array(const float* in, float* out, std::size_t n);
void cosf_array(const float* in, float* out, std::size_t n);
Isa sinf_isa();
Isa cosf_isa();
bool sinf_array_with(Isa isa, const float* in, float* out, std::size_t n);
bool cosf_array_with(Isa isa, const float* in, float* out, std::size_t n);

// out[i] = tanf(in[i]), bit for bit; in and out may be the same array.
void tanf_array(const float* in, float* out, std::size_t n);
Isa tanf_isa();
bool tanf_array_with(Isa isa, const float* in, float* out, std::size_t n);

// out[i] = powf(in[i], y) for n floats, bit for bit; in and out may be the same array.
void powf_array(const float* in, float y, float* out, std::size_t n);

Isa powf_isa();

bool powf_array_with(Isa isa, const float* in, float y, float* out, std::size_t n);

// Whether powf_array(..., y, ...) would run the AVX-512 lanes on this thread now: code built
// for AVX-512 that takes powers with those lanes itself runs only when this holds.
bool powf_runs_avx512(float y);

}  // namespace kavri::vecmath
