// A fixed-order radix-2 real FFT in single precision, for the partitioned convolution.
//
// Written here rather than taken from a library: the libraries on offer (FFTW, pocketfft,
// PFFFT, KissFFT built with SIMD) pick their kernels by the processor they find, and a
// different kernel adds the same products in another order, so the last bits of a transform
// would change from machine to machine. Here every butterfly is the same sequence of single-
// precision operations on every processor and every build flag the project allows (no
// contraction, no reassociation): a loop the compiler vectorises does exactly the scalar
// arithmetic in each lane. The twiddle factors come from double-precision series written
// out below, not from the C library's sin and cos, whose last bits vary between libraries.
//
// Transforms are unnormalised: forward() gives twice the spectrum of the N real samples
// (bins 0 to N/2, as separate real and imaginary arrays), and inverse() of a spectrum S gives
// N times its inverse transform. So inverse(forward(x) * forward(h)) is 4 N (x circularly
// convolved with h), and a caller scales h by 1 / (4 N), a power of two, exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/fft_butterflies.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

class RealFft {
public:
    // `size` is a power of two, at least 16. `lanes` is the widest vector code the first stage
    // may run (every width gives the same bits); the processor must have it.
    explicit RealFft(std::size_t size, vecmath::Isa lanes = widest_lanes());

    // The widest lanes this processor runs the first stage in.
    static vecmath::Isa widest_lanes();

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t bins() const { return size_ / 2 + 1; }

    // `time` holds size() samples; `re` and `im` receive bins() values each. `work` is
    // scratch of size() floats (the caller's, so that threads can share one transform).
    void forward(const float* time, float* re, float* im, float* work) const;
    // The same for a signal held in two places: `first` has its first size() / 2 samples,
    // `second` the rest (a convolution's previous block and its current one, neither
    // copied next to the other).
    void forward(const float* first, const float* second, float* re, float* im, float* work) const;

    // `re` and `im` hold bins() values (the imaginary parts of bins 0 and size()/2 are not
    // read); `time` receives size() samples. `work` is scratch of size() floats.
    void inverse(const float* re, const float* im, float* time, float* work) const;

    // Samples size() / 2 to size() / 2 + `count` of inverse() (count <= size() / 2), the
    // same bits, to `upper`: all that an overlap-save convolution keeps. `scratch` and
    // `work` are size() floats each; `upper` may be `scratch`.
    void inverse_upper(const float* re, const float* im, float* upper, std::size_t count,
                       float* scratch, float* work) const;

    // The bytes a transform of `size` keeps (its tables).
    static std::size_t table_bytes(std::size_t size);

    // The transform of `size`, made once in the process and shared: its tables never change
    // once made, so threads may use one transform at once, each with its own scratch.
    static std::shared_ptr<const RealFft> shared(std::size_t size);

private:
    // The complex transform of half the size over split arrays, in place, e^{-i} kernel; its
    // input in bit-reversed order, its output in natural order. first_stage_from reads the
    // input (load(p, re, im) gives point p of that order) through the first stage; then
    // complex_forward runs the passes after it.
    template <typename Load>
    void first_stage_from(float* re, float* im, const Load& load) const;
    [[nodiscard]] fft_detail::FirstTwiddles first_twiddles() const;
    void complex_forward(float* re, float* im) const;
    struct Pass;
    void run_pass(const Pass& pass, float* re, float* im, std::size_t n) const;
    // inverse() up to the interleaving: Z's real parts at zr, its imaginary parts at zi
    // (both in `work`); `scratch` holds size() floats.
    void inverse_split(const float* re, const float* im, float* scratch, float* work) const;

    // A fused pass of two radix-2 stages, of half-widths `half` and 2 `half`: its twiddle
    // tables start at `table` in stage_re_ and stage_im_ (e^{-2 pi i j / 2 half}, then
    // e^{-2 pi i j / 4 half}, for j < half).
    struct Pass {
        std::size_t half;
        std::size_t table;
    };

    std::size_t size_;
    std::size_t half_;  // the complex transform's size
    // The vector kernels of the lanes chosen; none for the scalar code.
    const fft_detail::LaneKernels* kernels_ = nullptr;
    std::vector<std::uint32_t> reversed_;  // i -> i with its bits reversed
    bool first_two_ = false;               // an odd number of stages: one radix-2 pass first
    std::vector<Pass> passes_;
    std::vector<float> stage_re_;
    std::vector<float> stage_im_;
    std::vector<float> pack_cos_;  // cos(2 pi k / size), k <= size / 2
    std::vector<float> pack_sin_;  // sin(2 pi k / size)
};

// cos and sin of 2 pi k / n in double precision, the same bits on every processor: the
// angle is reduced to [0, pi / 4] by exact integer symmetry and summed by Taylor series.
// `n` is a multiple of 8 and k < n.
void unit_root(std::size_t k, std::size_t n, double& cosine, double& sine);

}  // namespace kavri
