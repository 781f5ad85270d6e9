// The true-peak meter against a plain reference: the two half-band stages written as the
// plainest loops over the whole signal (each sum from zero in the order of the taps), and a
// parabola at every local maximum of the 4x grid that could pass the peak so far. The meter
// holds its sums in registers and passes over runs with nothing to fit; its peaks must be
// the reference's, bit for bit, however the signal is cut into chunks.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/true_peak.hpp"

namespace {

int failures = 0;
int checks = 0;

// The odd taps of a windowed-sinc half-band low-pass of `length` (odd) taps, normalised to
// sum to one: any symmetric set will do for comparing two ways of summing it.
std::vector<float> half_band(int length) {
    std::vector<double> odd;
    odd.reserve(static_cast<std::size_t>(length));
    const int centre = length / 2;
    for (int n = 0; n < length; n += 2) {
        const double t = (n - centre) / 2.0;
        const double sinc = std::sin(M_PI * t) / (M_PI * t);
        const double window = 0.5 + 0.5 * std::cos(M_PI * (n - centre) / (centre + 1.0));
        odd.push_back(sinc * window);
    }
    double sum = 0.0;
    for (double v : odd) {
        sum += v;
    }
    std::vector<float> taps;
    taps.reserve(odd.size());
    for (double v : odd) {
        taps.push_back(static_cast<float>(v / sum));
    }
    return taps;
}

// One half-band stage over a whole signal that silence precedes: every sample kept, and a
// value put after each.
std::vector<float> stage(const std::vector<float>& signal, const std::vector<float>& taps) {
    std::vector<float> padded(taps.size() - 1, 0.0F);
    padded.insert(padded.end(), signal.begin(), signal.end());
    const std::size_t half = taps.size() / 2;
    std::vector<float> out;
    out.reserve(2 * signal.size());
    for (std::size_t i = 0; i < signal.size(); ++i) {
        float sum = 0.0F;
        for (std::size_t k = 0; k < taps.size(); ++k) {
            sum += taps[k] * padded[i + k];
        }
        out.push_back(padded[i + half - 1]);
        out.push_back(sum);
    }
    return out;
}

double reference_peak(std::vector<float> signal, const std::vector<float>& first,
                      const std::vector<float>& second) {
    signal.resize(signal.size() + first.size() + second.size(), 0.0F);  // the silence after
    const std::vector<float> grid = stage(stage(signal, first), second);
    float before_last = 0.0F;
    float last = 0.0F;
    double peak = 0.0;
    for (const float value : grid) {
        const float size = std::fabs(last);
        if (size >= 0.9F * static_cast<float>(peak) && size >= std::fabs(before_last) &&
            size >= std::fabs(value)) {
            const double sign = last < 0.0F ? -1.0 : 1.0;
            const double a = sign * before_last;
            const double b = sign * last;
            const double c = sign * value;
            const double curve = a - 2.0 * b + c;
            peak = std::max(peak, curve < 0.0 ? b - (a - c) * (a - c) / (8.0 * curve) : b);
        }
        before_last = last;
        last = value;
    }
    return peak;
}

void check(const std::string& name, const std::vector<float>& signal) {
    const std::vector<float> first = half_band(127);
    const std::vector<float> second = half_band(23);
    const double expected = reference_peak(signal, first, second);
    std::mt19937 rng(11);
    for (std::size_t chunk : {signal.size(), std::size_t{1}, std::size_t{777},
                              std::size_t{4096 * 2 + 5}, std::size_t{0}}) {
        kavri::TruePeakMeter meter(1, first, second);
        std::size_t at = 0;
        while (at < signal.size()) {
            const std::size_t size =
                chunk != 0 ? chunk : std::uniform_int_distribution<std::size_t>(1, 9000)(rng);
            const std::size_t count = std::min(size, signal.size() - at);
            meter.add(signal.data() + at, count, count);
            at += count;
        }
        const double got = meter.peaks()[0];
        ++checks;
        if (got != expected) {
            std::printf("FAILED: %s, chunks of %zu: %.17g, the reference %.17g\n", name.c_str(),
                        chunk, got, expected);
            ++failures;
        }
    }
}

}  // namespace

int main() {
    const std::size_t frames = 48000;
    std::mt19937 rng(3);
    std::normal_distribution<float> normal(0.0F, 0.2F);
    std::vector<float> noise(frames);
    std::vector<float> bursts(frames);
    std::vector<float> bright(frames);
    std::vector<float> square(frames);
    std::vector<float> click(frames, 0.0F);
    for (std::size_t i = 0; i < frames; ++i) {
        noise[i] = normal(rng);
        // Loud bursts among quiet stretches: most runs have nothing to fit.
        bursts[i] = normal(rng) * (i % 12000 < 600 ? 4.0F : 0.01F);
        bright[i] = 0.7F * std::sin(2.9F * static_cast<float>(i)) * (i > frames / 2 ? 1.0F : 0.3F);
        square[i] = (i / 9) % 2 == 0 ? 0.95F : -0.95F;
    }
    click[frames - 3] = 1.0F;  // the peak rings out in the silence after the signal
    check("noise", noise);
    check("bursts", bursts);
    check("a bright sine growing louder", bright);
    check("a square wave", square);
    check("a click at the end", click);
    std::printf("%d of %d checks failed\n", failures, checks);
    return failures == 0 ? 0 : 1;
}
