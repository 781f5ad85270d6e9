#include "engine/fft.hpp"

#include <stdexcept>
#include <utility>

namespace kavri {

namespace {

constexpr double kTwoPiDouble = 6.283185307179586;

// cos and sin of 2 pi r / n for r <= n / 8 (an angle of at most pi / 4), by their Taylor
// series to the x^21 term, in nested form: the error is below 1e-25, far under a double's
// rounding, and every step is one correctly rounded double operation.
void root_series(std::size_t r, std::size_t n, double& cosine, double& sine) {
    const double x = kTwoPiDouble * static_cast<double>(r) / static_cast<double>(n);
    const double x2 = x * x;
    double s = 1.0;
    double c = 1.0;
    for (int m = 10; m >= 1; --m) {
        const double twice = 2.0 * m;
        s = 1.0 - x2 / (twice * (twice + 1.0)) * s;
        c = 1.0 - x2 / ((twice - 1.0) * twice) * c;
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

RealFft::RealFft(std::size_t size) : size_(size), half_(size / 2) {
    if (size < 16 || (size & (size - 1)) != 0) {
        throw std::invalid_argument("RealFft: the size must be a power of two of at least 16");
    }
    std::size_t bits = 0;
    while ((std::size_t{1} << bits) < half_) {
        ++bits;
    }
    for (std::size_t i = 0; i < half_; ++i) {
        std::size_t j = 0;
        for (std::size_t b = 0; b < bits; ++b) {
            j |= ((i >> b) & 1U) << (bits - 1 - b);
        }
        if (i < j) {
            swaps_.push_back(i);
            swaps_.push_back(j);
        }
    }
    stage_cos_.resize(half_ - 4);
    stage_sin_.resize(half_ - 4);
    for (std::size_t h = 4; h < half_; h *= 2) {
        for (std::size_t j = 0; j < h; ++j) {
            double c = 0.0;
            double s = 0.0;
            unit_root(j, 2 * h, c, s);
            stage_cos_[h - 4 + j] = static_cast<float>(c);
            stage_sin_[h - 4 + j] = static_cast<float>(-s);
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

std::size_t RealFft::table_bytes(std::size_t size) {
    const std::size_t half = size / 2;
    return half * sizeof(std::size_t) + 2 * half * sizeof(float) + 2 * (half + 1) * sizeof(float);
}

void RealFft::complex_forward(float* re, float* im) const {
    const std::size_t n = half_;
    for (std::size_t p = 0; p < swaps_.size(); p += 2) {
        std::swap(re[swaps_[p]], re[swaps_[p + 1]]);
        std::swap(im[swaps_[p]], im[swaps_[p + 1]]);
    }
    // Width 2: the twiddle is 1.
    for (std::size_t a = 0; a < n; a += 2) {
        const float r0 = re[a];
        const float i0 = im[a];
        const float r1 = re[a + 1];
        const float i1 = im[a + 1];
        re[a] = r0 + r1;
        im[a] = i0 + i1;
        re[a + 1] = r0 - r1;
        im[a + 1] = i0 - i1;
    }
    // Width 4: the twiddles are 1 and -i.
    for (std::size_t a = 0; a < n; a += 4) {
        float r0 = re[a];
        float i0 = im[a];
        const float r2 = re[a + 2];
        const float i2 = im[a + 2];
        re[a] = r0 + r2;
        im[a] = i0 + i2;
        re[a + 2] = r0 - r2;
        im[a + 2] = i0 - i2;
        r0 = re[a + 1];
        i0 = im[a + 1];
        const float tr = im[a + 3];
        const float ti = -re[a + 3];
        re[a + 1] = r0 + tr;
        im[a + 1] = i0 + ti;
        re[a + 3] = r0 - tr;
        im[a + 3] = i0 - ti;
    }
    for (std::size_t h = 4; h < n; h *= 2) {
        const float* wr = stage_cos_.data() + (h - 4);
        const float* wi = stage_sin_.data() + (h - 4);
        for (std::size_t base = 0; base < n; base += 2 * h) {
            float* __restrict ra = re + base;
            float* __restrict ia = im + base;
            float* __restrict rb = re + base + h;
            float* __restrict ib = im + base + h;
            for (std::size_t j = 0; j < h; ++j) {
                const float tr = rb[j] * wr[j] - ib[j] * wi[j];
                const float ti = rb[j] * wi[j] + ib[j] * wr[j];
                const float xr = ra[j];
                const float xi = ia[j];
                rb[j] = xr - tr;
                ib[j] = xi - ti;
                ra[j] = xr + tr;
                ia[j] = xi + ti;
            }
        }
    }
}

void RealFft::forward(const float* time, float* re, float* im, float* work) const {
    const std::size_t m = half_;
    float* zr = work;
    float* zi = work + m;
    for (std::size_t n = 0; n < m; ++n) {
        zr[n] = time[2 * n];
        zi[n] = time[2 * n + 1];
    }
    complex_forward(zr, zi);
    // Twice the spectrum: (Z[k] + conj Z[m - k]) - i W^k (Z[k] - conj Z[m - k]).
    for (std::size_t k = 0; k <= m; ++k) {
        const std::size_t a = k == m ? 0 : k;
        const std::size_t b = k == 0 ? 0 : m - k;
        const float sum_r = zr[a] + zr[b];
        const float diff_i = zi[a] - zi[b];
        const float diff_r = zr[a] - zr[b];
        const float sum_i = zi[a] + zi[b];
        const float c = pack_cos_[k];
        const float s = pack_sin_[k];
        re[k] = sum_r + (c * sum_i - s * diff_r);
        im[k] = diff_i - (c * diff_r + s * sum_i);
    }
}

void RealFft::inverse(const float* re, const float* im, float* time, float* work) const {
    const std::size_t m = half_;
    float* zr = work;
    float* zi = work + m;
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t b = m - k;
        const float xr = re[k];
        const float xi = k == 0 ? 0.0F : im[k];
        const float yr = re[b];
        const float yi = b == m ? 0.0F : im[b];
        const float sum_r = xr + yr;
        const float diff_i = xi - yi;
        const float diff_r = xr - yr;
        const float sum_i = xi + yi;
        const float c = pack_cos_[k];
        const float s = pack_sin_[k];
        zr[k] = sum_r - (c * sum_i + s * diff_r);
        zi[k] = diff_i + (c * diff_r - s * sum_i);
    }
    // The inverse as the forward transform with the real and imaginary parts swapped.
    complex_forward(zi, zr);
    for (std::size_t n = 0; n < m; ++n) {
        time[2 * n] = zr[n];
        time[2 * n + 1] = zi[n];
    }
}

}  // namespace kavri
