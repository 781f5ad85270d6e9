// The rooms' inner loops against plain references: the real FFT against a direct DFT in
// double precision, and the partitioned convolution against the direct sum, for a response
// of several partitions fed in uneven pieces; the reverb's line lengths are distinct primes.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "effects/rooms/convolution.hpp"
#include "effects/rooms/reverb.hpp"
#include "engine/fft.hpp"

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

// Whether two arrays hold the same bits (NaN and -0 included).
bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](float x, float y) {
        std::uint32_t u = 0;
        std::uint32_t v = 0;
        std::memcpy(&u, &x, sizeof(u));
        std::memcpy(&v, &y, sizeof(v));
        return u == v;
    });
}

double relative(const std::vector<double>& error, const std::vector<double>& wanted) {
    double e = 0.0;
    double w = 0.0;
    for (std::size_t i = 0; i < error.size(); ++i) {
        e += error[i] * error[i];
        w += wanted[i] * wanted[i];
    }
    return std::sqrt(e / w);
}

void fft_against_dft(std::size_t size) {
    std::mt19937 generator(7);
    std::normal_distribution<float> normal;
    std::vector<float> x(size);
    for (float& v : x) {
        v = normal(generator);
    }
    const kavri::RealFft fft(size);
    std::vector<float> re(fft.bins());
    std::vector<float> im(fft.bins());
    std::vector<float> work(size);
    fft.forward(x.data(), re.data(), im.data(), work.data());
    std::vector<double> error;
    std::vector<double> wanted;
    const double pi = 3.141592653589793;
    for (std::size_t k = 0; k < fft.bins(); ++k) {
        double sr = 0.0;
        double si = 0.0;
        for (std::size_t n = 0; n < size; ++n) {
            const double a =
                2.0 * pi * static_cast<double>(k * n % size) / static_cast<double>(size);
            sr += x[n] * std::cos(a);
            si -= x[n] * std::sin(a);
        }
        // forward() gives twice the spectrum.
        error.push_back(re[k] - 2.0 * sr);
        error.push_back(im[k] - 2.0 * si);
        wanted.push_back(2.0 * sr);
        wanted.push_back(2.0 * si);
    }
    expect(relative(error, wanted) < 1e-6, "the forward transform against a direct DFT");
    std::vector<float> back(size);
    fft.inverse(re.data(), im.data(), back.data(), work.data());
    error.clear();
    wanted.clear();
    for (std::size_t n = 0; n < size; ++n) {
        error.push_back(back[n] - 2.0 * static_cast<double>(size) * x[n]);
        wanted.push_back(2.0 * static_cast<double>(size) * x[n]);
    }
    expect(relative(error, wanted) < 1e-6, "the inverse of the forward transform is 2N x");
}

// The first stage in vector lanes gives the scalar stage's bits, forward and inverse, at every
// size (odd and even stage counts, and sizes too small for a lane's columns), with NaN,
// infinities, the largest floats and subnormals among the values.
void fft_lanes_give_scalar_bits() {
    std::mt19937 generator(11);
    std::normal_distribution<float> normal;
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              -std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              3.0e38F,
                              -3.0e38F,
                              1.0e-40F,
                              -0.0F};
    for (std::size_t size = 16; size <= 65536; size *= 2) {
        for (const bool special : {false, true}) {
            std::vector<float> x(size);
            for (float& v : x) {
                v = normal(generator);
            }
            if (special) {
                for (std::size_t k = 0; k < 8; ++k) {
                    x[(k * 7919 + 3) % size] = specials[k];
                }
            }
            const kavri::RealFft scalar(size, kavri::vecmath::Isa::scalar);
            std::vector<float> work(size);
            std::vector<float> re(scalar.bins());
            std::vector<float> im(scalar.bins());
            std::vector<float> back(size);
            scalar.forward(x.data(), re.data(), im.data(), work.data());
            // The inverse of a spectrum that is not a real signal's, so that every input matters.
            std::vector<float> sr(x.begin(),
                                  x.begin() + static_cast<std::ptrdiff_t>(scalar.bins()));
            std::vector<float> si(x.rbegin(),
                                  x.rbegin() + static_cast<std::ptrdiff_t>(scalar.bins()));
            scalar.inverse(sr.data(), si.data(), back.data(), work.data());
            // The signal from two places and the upper half alone: the same bits, at every
            // lane width (an odd count included).
            const auto halves_agree = [&](const kavri::RealFft& fft, const std::vector<float>& r,
                                          const std::vector<float>& i,
                                          const std::vector<float>& whole) {
                const std::vector<float> second(x.begin() + static_cast<std::ptrdiff_t>(size / 2),
                                                x.end());
                std::vector<float> hr(fft.bins());
                std::vector<float> hi(fft.bins());
                fft.forward(x.data(), second.data(), hr.data(), hi.data(), work.data());
                std::vector<float> scratch(size);
                std::vector<float> upper(size / 2 + 1, 7.0F);
                const std::size_t count = size / 2 - 1;
                fft.inverse_upper(sr.data(), si.data(), upper.data(), count, scratch.data(),
                                  work.data());
                return std::memcmp(hr.data(), r.data(), r.size() * sizeof(float)) == 0 &&
                       std::memcmp(hi.data(), i.data(), i.size() * sizeof(float)) == 0 &&
                       std::memcmp(upper.data(), whole.data() + size / 2, count * sizeof(float)) ==
                           0 &&
                       upper[count] == 7.0F;
            };
            expect(halves_agree(scalar, re, im, back),
                   "the FFT from two halves and its upper half give the whole's bits");
            for (const auto isa : {kavri::vecmath::Isa::avx2, kavri::vecmath::Isa::avx512}) {
                const bool runs =
                    isa == kavri::vecmath::Isa::avx2
                        ? kavri::RealFft::widest_lanes() != kavri::vecmath::Isa::scalar
                        : kavri::RealFft::widest_lanes() == isa;
                if (!runs) {
                    continue;
                }
                const kavri::RealFft lanes(size, isa);
                std::vector<float> lre(lanes.bins());
                std::vector<float> lim(lanes.bins());
                std::vector<float> lback(size);
                lanes.forward(x.data(), lre.data(), lim.data(), work.data());
                lanes.inverse(sr.data(), si.data(), lback.data(), work.data());
                const bool same =
                    std::memcmp(re.data(), lre.data(), re.size() * sizeof(float)) == 0 &&
                    std::memcmp(im.data(), lim.data(), im.size() * sizeof(float)) == 0 &&
                    std::memcmp(back.data(), lback.data(), back.size() * sizeof(float)) == 0 &&
                    halves_agree(lanes, re, im, back);
                expect(same, "the FFT's lanes give the scalar first stage's bits");
            }
        }
    }
}

void convolution_against_direct_sum() {
    std::mt19937 generator(3);
    std::normal_distribution<float> normal;
    const std::size_t frames = 3000;
    const std::size_t taps = 700;  // three partitions of 256
    std::vector<float> x(frames * 2);
    std::vector<float> h(taps);
    for (float& v : x) {
        v = normal(generator);
    }
    for (std::size_t i = 0; i < taps; ++i) {
        h[i] = normal(generator) * std::exp(-static_cast<float>(i) / 200.0F);
    }
    kavri::ConvolutionEffect effect(h.data(), taps, 1, 2, {{0, 0, 0}, {1, 0, 1}}, 256, 1.0F, false);
    std::vector<float> out(frames * 2);
    std::size_t done = 0;
    std::size_t written = 0;
    for (const std::size_t piece : {1UL, 255UL, 257UL, 1000UL, 1487UL}) {
        const std::size_t released = effect.released_by(piece);
        effect.process(x.data() + done * 2, piece, out.data() + written * 2, 1);
        done += piece;
        written += released;
    }
    expect(written + effect.held_frames() == frames, "a stream holds what it has not released");
    effect.flush(out.data() + written * 2, 1);
    std::vector<double> error;
    std::vector<double> wanted;
    for (std::size_t n = 0; n < frames; ++n) {
        for (std::size_t c = 0; c < 2; ++c) {
            double sum = 0.0;
            for (std::size_t k = 0; k < taps && k <= n; ++k) {
                sum += static_cast<double>(h[k]) * x[(n - k) * 2 + c];
            }
            error.push_back(out[n * 2 + c] - sum);
            wanted.push_back(sum);
        }
    }
    expect(relative(error, wanted) < 1e-6, "partitioned convolution against the direct sum");

    // Mono, output over its own input: whole blocks are read in place only where the output
    // cannot overwrite them, so the bits are those of separate buffers.
    std::vector<float> mono(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        mono[n] = x[2 * n];
    }
    kavri::ConvolutionEffect apart(h.data(), taps, 1, 1, {{0, 0, 0}}, 256, 0.5F, false);
    std::vector<float> separate(frames);
    apart.run_whole(mono.data(), frames, separate.data(), 1);
    kavri::ConvolutionEffect over(h.data(), taps, 1, 1, {{0, 0, 0}}, 256, 0.5F, false);
    over.run_whole(mono.data(), frames, mono.data(), 1);
    expect(same_bits(mono, separate),
           "a convolution written over its input gives the bits of separate buffers");
}

bool is_prime(std::size_t n) {
    for (std::size_t d = 2; d * d <= n; ++d) {
        if (n % d == 0) {
            return false;
        }
    }
    return n > 1;
}

void reverb_lines_are_distinct_primes() {
    for (const float size : {0.0F, 0.5F, 1.0F}) {
        const kavri::ReverbEffect reverb(48000.0F, 2, size, 0.5F, 0.0F, 1.0F, 0.3F);
        bool ok = true;
        std::size_t previous = 0;
        for (const std::size_t length : reverb.lengths()) {
            ok = ok && is_prime(length) && length > previous;
            previous = length;
        }
        expect(ok, "the reverb's line lengths are increasing primes");
    }
}

}  // namespace

int main() {
    for (const std::size_t size : {16UL, 64UL, 512UL, 4096UL}) {
        fft_against_dft(size);
    }
    fft_lanes_give_scalar_bits();
    convolution_against_direct_sum();
    reverb_lines_are_distinct_primes();
    if (failures == 0) {
        std::printf("ok\n");
    }
    return failures == 0 ? 0 : 1;
}
