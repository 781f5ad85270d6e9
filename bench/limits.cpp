// Lower bounds for the benchmark, built with the engine's own floating-point flags.
//
//   limits tanh FILE DRIVE   seconds for one scalar tanhf call per sample of FILE (raw
//                            float32), each sample first multiplied by DRIVE, as the
//                            distortion does
//   limits chain FRAMES      seconds for FRAMES links of a biquad section's loop-carried
//                            chain (a multiply, a subtraction and two additions, each
//                            waiting for the one before)
//   limits envelope FILE     seconds for the peak follower's recurrence alone over FILE (raw
//                            float32, one channel), the bound of every dynamics effect
//   limits cascade FILE N    seconds for a plain loop of N biquad sections per sample over
//                            FILE, one section after the other, as a direct implementation
//                            writes it
// Each figure is the best of five runs.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

template <typename Fn>
double best_of_five(Fn&& fn) {
    double best = 1e30;
    for (int run = 0; run < 5; ++run) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (took.count() < best) {
            best = took.count();
        }
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "tanh") == 0) {
        std::FILE* file = std::fopen(argv[2], "rb");
        if (file == nullptr) {
            return 1;
        }
        std::vector<float> input;
        float chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, sizeof(float), 4096, file)) > 0) {
            input.insert(input.end(), chunk, chunk + got);
        }
        std::fclose(file);
        const float drive = std::strtof(argv[3], nullptr);
        std::vector<float> output(input.size());
        const double seconds = best_of_five([&] {
            for (std::size_t i = 0; i < input.size(); ++i) {
                output[i] = std::tanh(input[i] * drive);
            }
        });
        float sink = 0.0f;
        for (float v : output) {
            sink += v;
        }
        std::printf("%.9f %g\n", seconds, static_cast<double>(sink));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "chain") == 0) {
        const unsigned long long frames = std::strtoull(argv[2], nullptr, 10);
        // Read at run time so that nothing folds: y stays bounded (the fixed point is 0).
        volatile float coefficients[4] = {0.5f, 0.25f, 0.125f, 0.125f};
        const float a = coefficients[0], b = coefficients[1], c = coefficients[2], d = coefficients[3];
        float y = 0.0f;
        const double seconds = best_of_five([&] {
            for (unsigned long long i = 0; i < frames; ++i) {
                y = ((y * a - b) + c) + d;
            }
        });
        std::printf("%.9f %g\n", seconds, static_cast<double>(y));
        return 0;
    }
    if ((argc == 3 && std::strcmp(argv[1], "envelope") == 0) ||
        (argc == 4 && std::strcmp(argv[1], "cascade") == 0)) {
        std::FILE* file = std::fopen(argv[2], "rb");
        if (file == nullptr) {
            return 1;
        }
        std::vector<float> input;
        float chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, sizeof(float), 4096, file)) > 0) {
            input.insert(input.end(), chunk, chunk + got);
        }
        std::fclose(file);
        std::vector<float> output(input.size());
        if (argc == 3) {
            // The compressor's defaults at 48 kHz: 10 ms attack, 80 ms release.
            volatile float coefficients[2] = {0.99791884f, 0.99973959f};
            const float attack = coefficients[0], release = coefficients[1];
            const double seconds = best_of_five([&] {
                float e = 0.0f;
                for (std::size_t i = 0; i < input.size(); ++i) {
                    const float level = std::fabs(input[i]);
                    const float c = level > e ? attack : release;
                    e = (1.0f - c) * level + c * e;
                    output[i] = e;
                }
            });
            std::printf("%.9f %g\n", seconds, static_cast<double>(output.back()));
            return 0;
        }
        const int sections = std::atoi(argv[3]);
        // An 8 kHz low-pass at 48 kHz, as the engine designs it.
        volatile float k[5] = {0.15505103f, 0.31010206f, 0.15505103f, -0.62020410f, 0.24040820f};
        const float b0 = k[0], b1 = k[1], b2 = k[2], a1 = k[3], a2 = k[4];
        std::vector<float> z1(static_cast<std::size_t>(sections)), z2(z1.size());
        const double seconds = best_of_five([&] {
            for (std::size_t i = 0; i < input.size(); ++i) {
                float x = input[i];
                for (int s = 0; s < sections; ++s) {
                    const float y = b0 * x + z1[s];
                    z1[s] = (b1 * x - a1 * y) + z2[s];
                    z2[s] = b2 * x - a2 * y;
                    x = y;
                }
                output[i] = x;
            }
        });
        std::printf("%.9f %g\n", seconds, static_cast<double>(output.back()));
        return 0;
    }
    std::fprintf(stderr,
                 "usage: limits tanh FILE DRIVE | limits chain FRAMES | limits envelope FILE | "
                 "limits cascade FILE SECTIONS\n");
    return 2;
}
