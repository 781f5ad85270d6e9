#include "engine/fft.hpp"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "engine/fft_butterflies.hpp"

namespace kavri {

namespace {

constexpr double kTwoPiDouble = 6.283185307179586;

// The vector kernels are built twice, for SSE2 and for AVX2, and the processor's best is
// taken when the library loads. Both do the scalar loop's operations in each lane (no
// fused multiply-add: AVX2 alone does not bring it, and contraction is off), so the bits
// are the same whichever runs.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define KAVRI_FFT_KERNEL __attribute__((noinline, target_clones("avx512f", "avx2", "default")))
#elif defined(__GNUC__)
#define KAVRI_FFT_KERNEL __attribute__((noinline))
#else
#define KAVRI_FFT_KERNEL
#endif
constexpr int kSeriesTerms = 10;
// Complex values (re and im, 8 bytes each) per block of the cache-blocked passes: 16 KiB.
constexpr std::size_t kCacheBlock = 2048;

// 1 / ((2m)(2m + 1)) and 1 / ((2m - 1)(2m)) for m = 1 to 10: each a correctly rounded
// division of two exact integers, the same on every processor.
struct SeriesFactors {
    std::array<double, kSeriesTerms + 1> sine{};
    std::array<double, kSeriesTerms + 1> cosine{};
    SeriesFactors() {
        for (int m = 1; m <= kSeriesTerms; ++m) {
            const double twice = 2.0 * m;
            sine[static_cast<std::size_t>(m)] = 1.0 / (twice * (twice + 1.0));
            cosine[static_cast<std::size_t>(m)] = 1.0 / ((twice - 1.0) * twice);
        }
    }
};

// cos and sin of 2 pi r / n for r <= n / 8 (an angle of at most pi / 4), by their Taylor
// series to the x^21 term, in nested form: the error is below 1e-25, far under a double's
// rounding, and every step is one correctly rounded double operation.
void root_series(std::size_t r, std::size_t n, double& cosine, double& sine) {
    static const SeriesFactors factors;
    const double x = kTwoPiDouble * static_cast<double>(r) / static_cast<double>(n);
    const double x2 = x * x;
    double s = 1.0;
    double c = 1.0;
    for (int m = kSeriesTerms; m >= 1; --m) {
        const auto at = static_cast<std::size_t>(m);
        s = 1.0 - x2 * factors.sine[at] * s;
        c = 1.0 - x2 * factors.cosine[at] * c;
    }
    sine = x * s;
    cosine = c;
}

}  // namespace

void unit_root(std::size_t k, std::size_t n, double& cosine, double& sine) {
    const std::size_t quarter = n / 4;
    const std::size_t eighth = n / 8;
    const std::size_t q = k / quarter;
    const std::size_t r = k % quarter;
    double c0 = 0.0;
    double s0 = 0.0;
    if (r <= eighth) {
        root_series(r, n, c0, s0);
    } else {
        root_series(quarter - r, n, s0, c0);
    }
    switch (q) {
        case 0:
            cosine = c0;
            sine = s0;
            break;
        case 1:
            cosine = -s0;
            sine = c0;
            break;
        case 2:
            cosine = -c0;
            sine = -s0;
            break;
        default:
            cosine = s0;
            sine = -c0;
            break;
    }
}

namespace {

// e^{-2 pi i j / n} as single-precision parts.
void twiddle(std::size_t j, std::size_t n, float& re, float& im) {
    double c = 0.0;
    double s = 0.0;
    if (n % 8 == 0) {
        unit_root(j, n, c, s);
    } else {
        // n = 2 or 4: the roots are 1, -i, -1, i exactly.
        const std::size_t q = j * (4 / n);
        c = q == 0 ? 1.0 : (q == 2 ? -1.0 : 0.0);
        s = q == 1 ? 1.0 : (q == 3 ? -1.0 : 0.0);
    }
    re = static_cast<float>(c);
    im = static_cast<float>(-s);
}

// The fused passes over one group of 4 h points, in a function of its own with every
// pointer a restrict parameter, so that the compiler runs the j loop in vectors (each lane
// the scalar loop's operations).
KAVRI_FFT_KERNEL
void group_four(float* __restrict r0, float* __restrict i0, float* __restrict r1,
                float* __restrict i1, float* __restrict r2, float* __restrict i2,
                float* __restrict r3, float* __restrict i3, std::size_t h,
                const float* __restrict w1r, const float* __restrict w1i,
                const float* __restrict w2r, const float* __restrict w2i) {
    for (std::size_t j = 0; j < h; ++j) {
        fft_detail::radix_four(r0[j], i0[j], r1[j], i1[j], r2[j], i2[j], r3[j], i3[j], w1r[j],
                               w1i[j], w2r[j], w2i[j]);
    }
}

// Groups wide enough for vectors go to group_four; narrow ones run here, every group in one
// loop.
constexpr std::size_t kVectorGroup = 8;

void pass_four(float* re, float* im, std::size_t n, std::size_t h, const float* w1r,
               const float* w1i, const float* w2r, const float* w2i) {
    for (std::size_t base = 0; base < n; base += 4 * h) {
        float* r0 = re + base;
        float* i0 = im + base;
        if (h >= kVectorGroup) {
            group_four(r0, i0, r0 + h, i0 + h, r0 + 2 * h, i0 + 2 * h, r0 + 3 * h, i0 + 3 * h, h,
                       w1r, w1i, w2r, w2i);
            continue;
        }
        for (std::size_t j = 0; j < h; ++j) {
            fft_detail::radix_four(r0[j], i0[j], r0[h + j], i0[h + j], r0[2 * h + j], i0[2 * h + j],
                                   r0[3 * h + j], i0[3 * h + j], w1r[j], w1i[j], w2r[j], w2i[j]);
        }
    }
}

// The first stage of the complex transform, taken with its input's reading in bit-reversed
// order: each group of 8 points (a radix-2 pass of twiddle 1, then the fused pass of
// half-width 2) or of 4 (the fused pass of half-width 1) is read from its places by
// `load(p, re, im)`, taken through the same butterflies as the passes one after the other
// would take it, and written once. The twiddles are the first fused pass's tables. The
// vector version (fft_first_stage.hpp) runs groups side by side in lanes.
template <std::size_t Points, typename Load>
void first_stage_groups(float* re, float* im, std::size_t n, const fft_detail::FirstTwiddles& t,
                        const Load& load) {
    float w1r[2] = {};
    float w1i[2] = {};
    float w2r[2] = {};
    float w2i[2] = {};
    for (std::size_t j = 0; j < Points / 4; ++j) {
        w1r[j] = t.w1r[j];
        w1i[j] = t.w1i[j];
        w2r[j] = t.w2r[j];
        w2i[j] = t.w2i[j];
    }
    for (std::size_t g = 0; g < n; g += Points) {
        float r[Points];
        float i[Points];
        for (std::size_t p = 0; p < Points; ++p) {
            load(g + p, r[p], i[p]);
        }
        fft_detail::first_stage_group<Points>(r, i, w1r, w1i, w2r, w2i);
        for (std::size_t p = 0; p < Points; ++p) {
            re[g + p] = r[p];
            im[g + p] = i[p];
        }
    }
}

// Twice the spectrum of the real signal from Z, the transform of its samples taken in pairs
// as complex values: X[k] = (Z[k] + conj Z[m - k]) - i W^k (Z[k] - conj Z[m - k]) for
// 0 < k < m. Functions of their own with restrict parameters, as group_four.
KAVRI_FFT_KERNEL
void pack_spectrum(const float* __restrict zr, const float* __restrict zi, float* __restrict xr,
                   float* __restrict xi, const float* __restrict pc, const float* __restrict ps,
                   std::size_t m) {
    for (std::size_t k = 1; k < m; ++k) {
        const std::size_t b = m - k;
        const float sum_r = zr[k] + zr[b];
        const float diff_i = zi[k] - zi[b];
        const float diff_r = zr[k] - zr[b];
        const float sum_i = zi[k] + zi[b];
        xr[k] = sum_r + (pc[k] * sum_i - ps[k] * diff_r);
        xi[k] = diff_i - (pc[k] * diff_r + ps[k] * sum_i);
    }
}

// The inverse: Z[k] = (X[k] + conj X[m - k]) + i conj(W^k) (X[k] - conj X[m - k]), 0 < k < m.
KAVRI_FFT_KERNEL
void unpack_spectrum(const float* __restrict xr, const float* __restrict xi, float* __restrict zr,
                     float* __restrict zi, const float* __restrict pc, const float* __restrict ps,
                     std::size_t m) {
    for (std::size_t k = 1; k < m; ++k) {
        const std::size_t b = m - k;
        const float sum_r = xr[k] + xr[b];
        const float diff_i = xi[k] - xi[b];
        const float diff_r = xr[k] - xr[b];
        const float sum_i = xi[k] + xi[b];
        zr[k] = sum_r - (pc[k] * sum_i + ps[k] * diff_r);
        zi[k] = diff_i + (pc[k] * diff_r - ps[k] * sum_i);
    }
}

// The complex values back as pairs of real samples.
KAVRI_FFT_KERNEL
void interleave(const float* __restrict zr, const float* __restrict zi, float* __restrict time,
                std::size_t m) {
    for (std::size_t n = 0; n < m; ++n) {
        time[2 * n] = zr[n];
        time[2 * n + 1] = zi[n];
    }
}

}  // namespace

vecmath::Isa RealFft::widest_lanes() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return vecmath::Isa::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return vecmath::Isa::avx2;
    }
    return vecmath::Isa::scalar;
}

RealFft::RealFft(std::size_t size, vecmath::Isa lanes) : size_(size), half_(size / 2) {
    const bool runs = lanes == vecmath::Isa::scalar ||
                      (lanes == vecmath::Isa::avx2 && widest_lanes() != vecmath::Isa::scalar) ||
                      (lanes == vecmath::Isa::avx512 && widest_lanes() == vecmath::Isa::avx512);
    if (!runs) {
        throw std::invalid_argument("RealFft: this processor cannot run those lanes");
    }
    if (lanes == vecmath::Isa::avx512) {
        kernels_ = &fft_detail::kAvx512Kernels;
    } else if (lanes == vecmath::Isa::avx2) {
        kernels_ = &fft_detail::kAvx2Kernels;
    }
    if (size < 16 || (size & (size - 1)) != 0) {
        throw std::invalid_argument("RealFft: the size must be a power of two of at least 16");
    }
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < half_) {
        ++bits;
    }
    reversed_.resize(half_);
    for (std::size_t i = 0; i < half_; ++i) {
        std::size_t j = 0;
        for (std::size_t b = 0; b < bits; ++b) {
            j |= ((i >> b) & 1U) << (bits - 1 - b);
        }
        reversed_[i] = static_cast<std::uint32_t>(j);
    }
    // An odd number of radix-2 stages starts with one pass of twiddle 1; the rest go in
    // fused pairs, each with its two twiddle tables.
    first_two_ = bits % 2 == 1;
    for (std::size_t h = first_two_ ? 2 : 1; h < half_; h *= 4) {
        passes_.push_back({h, stage_re_.size()});
        for (int table = 0; table < 2; ++table) {
            const std::size_t n = table == 0 ? 2 * h : 4 * h;
            for (std::size_t j = 0; j < h; ++j) {
                float r = 0.0F;
                float i = 0.0F;
                twiddle(j, n, r, i);
                stage_re_.push_back(r);
                stage_im_.push_back(i);
            }
        }
    }
    pack_cos_.resize(half_ + 1);
    pack_sin_.resize(half_ + 1);
    for (std::size_t k = 0; k <= half_; ++k) {
        double c = 0.0;
        double s = 0.0;
        unit_root(k % size_, size_, c, s);
        pack_cos_[k] = static_cast<float>(c);
        pack_sin_[k] = static_cast<float>(s);
    }
}

namespace {

struct MadeTransforms {
    std::mutex lock;
    std::map<std::size_t, std::shared_ptr<const RealFft>> by_size;
};

MadeTransforms& made_transforms() {
    static MadeTransforms* const made = [] {
        auto* m = new MadeTransforms();  // never destroyed: a transform may be let go at exit
        // A child made by fork() while another thread built a table would wait on the lock
        // for ever: it is taken around fork() and given back on both sides.
        pthread_atfork([] { made_transforms().lock.lock(); },
                       [] { made_transforms().lock.unlock(); },
                       [] { made_transforms().lock.unlock(); });
        return m;
    }();
    return *made;
}

}  // namespace

std::shared_ptr<const RealFft> RealFft::shared(std::size_t size) {
    MadeTransforms& made = made_transforms();
    const std::lock_guard<std::mutex> hold(made.lock);
    std::shared_ptr<const RealFft>& slot = made.by_size[size];
    if (!slot) {
        slot = std::make_shared<const RealFft>(size);
    }
    return slot;
}

std::size_t RealFft::table_bytes(std::size_t size) {
    const std::size_t half = size / 2;
    return half * sizeof(std::uint32_t) + 4 * half * sizeof(float) + 2 * (half + 1) * sizeof(float);
}

void RealFft::complex_forward(float* re, float* im) const {
    // Every pass after the first stage (first_stage, taken while the input is read).
    const std::size_t n = half_;
    // The passes whose groups fit in a block run block by block, so that a block stays in
    // the first-level cache through them; each value meets the same operations in the same
    // order as pass after pass over the whole array would give it.
    const std::size_t block = std::min(n, kCacheBlock);
    std::size_t inside = 1;
    while (inside < passes_.size() && 4 * passes_[inside].half <= block) {
        ++inside;
    }
    for (std::size_t start = 0; start < n; start += block) {
        for (std::size_t p = 1; p < inside; ++p) {
            run_pass(passes_[p], re + start, im + start, block);
        }
    }
    for (std::size_t p = inside; p < passes_.size(); ++p) {
        run_pass(passes_[p], re, im, n);
    }
}

fft_detail::FirstTwiddles RealFft::first_twiddles() const {
    const Pass& pass = passes_.front();
    const float* w1r = stage_re_.data() + pass.table;
    const float* w1i = stage_im_.data() + pass.table;
    return {w1r, w1i, w1r + pass.half, w1i + pass.half};
}

template <typename Load>
void RealFft::first_stage_from(float* re, float* im, const Load& load) const {
    if (first_two_) {
        first_stage_groups<8>(re, im, half_, first_twiddles(), load);
    } else {
        first_stage_groups<4>(re, im, half_, first_twiddles(), load);
    }
}

void RealFft::run_pass(const Pass& pass, float* re, float* im, std::size_t n) const {
    const float* w1r = stage_re_.data() + pass.table;
    const float* w1i = stage_im_.data() + pass.table;
    if (pass.half == 8 && kernels_ != nullptr && kernels_->pass_eight != nullptr && n % 64 == 0) {
        // Groups of 32 places fill only half a 16-lane register; two go to one.
        kernels_->pass_eight(re, im, n, {w1r, w1i, w1r + pass.half, w1i + pass.half});
        return;
    }
    pass_four(re, im, n, pass.half, w1r, w1i, w1r + pass.half, w1i + pass.half);
}

void RealFft::forward(const float* time, float* re, float* im, float* work) const {
    forward(time, time + half_, re, im, work);
}

void RealFft::forward(const float* first, const float* second, float* re, float* im,
                      float* work) const {
    const std::size_t m = half_;
    float* __restrict zr = work;
    float* __restrict zi = work + m;
    // Packed into complex values in bit-reversed order, as the passes take them.
    const fft_detail::FirstTwiddles twiddles = first_twiddles();
    const std::uint32_t* order = reversed_.data();
    const bool in_lanes =
        kernels_ != nullptr &&
        kernels_->first_stage_pairs(first, second, zr, zi, m, first_two_, order, twiddles);
    if (!in_lanes) {
        first_stage_from(zr, zi, [first, second, m, order](std::size_t p, float& r, float& i) {
            const std::size_t at = 2 * std::size_t{order[p]};
            const float* pair = at < m ? first + at : second + (at - m);
            r = pair[0];
            i = pair[1];
        });
    }
    complex_forward(zr, zi);
    // Twice the spectrum: (Z[k] + conj Z[m - k]) - i W^k (Z[k] - conj Z[m - k]), with
    // Z[m] = Z[0].
    re[0] = (zr[0] + zr[0]) + (zi[0] + zi[0]);
    re[m] = (zr[0] + zr[0]) - (zi[0] + zi[0]);
    im[0] = 0.0F;
    im[m] = 0.0F;
    pack_spectrum(zr, zi, re, im, pack_cos_.data(), pack_sin_.data(), m);
}

void RealFft::inverse_split(const float* re, const float* im, float* scratch, float* work) const {
    const std::size_t m = half_;
    float* __restrict zr = work;
    float* __restrict zi = work + m;
    float* __restrict yr = scratch;
    float* __restrict yi = scratch + m;
    // Bin 0 and bin m (imaginary parts taken as 0) make Z[0]. Z is made in `scratch`, then
    // put in bit-reversed order in `work` for the passes.
    yr[0] = re[0] + re[m];
    yi[0] = re[0] - re[m];
    unpack_spectrum(re, im, yr, yi, pack_cos_.data(), pack_sin_.data(), m);
    // The inverse as the forward transform with the real and imaginary parts swapped.
    const fft_detail::FirstTwiddles twiddles = first_twiddles();
    const std::uint32_t* order = reversed_.data();
    const bool in_lanes =
        kernels_ != nullptr &&
        kernels_->first_stage_split(yi, yr, zi, zr, m, first_two_, order, twiddles);
    if (!in_lanes) {
        first_stage_from(zi, zr, [yr, yi, order](std::size_t p, float& r, float& i) {
            r = yi[order[p]];
            i = yr[order[p]];
        });
    }
    complex_forward(zi, zr);
}

void RealFft::inverse(const float* re, const float* im, float* time, float* work) const {
    // `time` serves as the scratch until the samples go to it.
    inverse_split(re, im, time, work);
    interleave(work, work + half_, time, half_);
}

void RealFft::inverse_upper(const float* re, const float* im, float* upper, std::size_t count,
                            float* scratch, float* work) const {
    inverse_split(re, im, scratch, work);
    // Sample m + 2t is Z[m / 2 + t]'s real part, m + 2t + 1 its imaginary part.
    const std::size_t m = half_;
    const float* zr = work + m / 2;
    const float* zi = work + m + m / 2;
    interleave(zr, zi, upper, count / 2);
    if (count % 2 == 1) {
        upper[count - 1] = zr[count / 2];
    }
}

}  // namespace kavri
