// Proves the vector math functions equal to the platform's scalar calls, bit for bit:
//   tanhf, sinf, cosf, tanf   over all 2**32 float bit patterns;
//   powf                      over all 2**32 x for each exponent the dynamics laws use at their
//                             default ratios (and the compressor's at ratio 2), and over random
//                             (x, y) pairs, a new random y every 64 x.
// Names given on the command line (tanhf, sinf, cosf, tanf, powf) run only those proofs.
// Each input's scalar result is computed once and compared with every implementation this
// processor can run. Run with `make prove-math`; it prints one line per proof and exits
// non-zero on any difference. Takes minutes; the work is split over the processor's cores.
#include <gnu/libc-version.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/vecmath/vecmath.hpp"

namespace vm = kavri::vecmath;

namespace {

constexpr vm::Isa kVectorIsas[] = {vm::Isa::avx2, vm::Isa::avx512};

std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

float from_bits(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

struct Outcome {
    std::uint64_t compared = 0;
    std::uint64_t differing = 0;
    std::uint32_t first_x = 0;
    std::uint32_t first_y = 0;
};

// One batch: fills `x` (and the batch's exponent) for batch number b.
using Fill = std::function<float(std::uint64_t b, std::vector<float>& x)>;
// The vector implementation on a batch, and the scalar call on one input.
using Vector = std::function<void(vm::Isa, const float*, float, float*, std::size_t)>;
using Scalar = std::function<float(float, float)>;

// Runs batches [0, batches) over the cores; each batch compared for every available isa.
std::vector<Outcome> sweep(std::uint64_t batches, std::size_t batch_size, const Fill& fill,
                           const Vector& vector_fn, const Scalar& scalar_fn,
                           const std::vector<vm::Isa>& isas) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::vector<Outcome>> parts(threads, std::vector<Outcome>(isas.size()));
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            std::vector<float> x(batch_size), expected(batch_size), got(batch_size);
            for (std::uint64_t b = batches * t / threads; b < batches * (t + 1) / threads; ++b) {
                const float y = fill(b, x);
                for (std::size_t i = 0; i < batch_size; ++i) {
                    expected[i] = scalar_fn(x[i], y);
                }
                for (std::size_t k = 0; k < isas.size(); ++k) {
                    vector_fn(isas[k], x.data(), y, got.data(), batch_size);
                    Outcome& o = parts[t][k];
                    for (std::size_t i = 0; i < batch_size; ++i) {
                        if (bits(got[i]) != bits(expected[i])) {
                            if (o.differing == 0) {
                                o.first_x = bits(x[i]);
                                o.first_y = bits(y);
                            }
                            ++o.differing;
                        }
                    }
                    o.compared += batch_size;
                }
            }
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    std::vector<Outcome> all(isas.size());
    for (const auto& part : parts) {
        for (std::size_t k = 0; k < isas.size(); ++k) {
            if (part[k].differing != 0 && all[k].differing == 0) {
                all[k].first_x = part[k].first_x;
                all[k].first_y = part[k].first_y;
            }
            all[k].compared += part[k].compared;
            all[k].differing += part[k].differing;
        }
    }
    return all;
}

bool all_equal = true;

void prove(const std::string& what, std::uint64_t batches, std::size_t batch_size, const Fill& fill,
           const Vector& vector_fn, const Scalar& scalar_fn) {
    std::vector<vm::Isa> isas;
    for (vm::Isa isa : kVectorIsas) {
        if (vm::isa_available(isa)) {
            isas.push_back(isa);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Outcome> outcomes = sweep(batches, batch_size, fill, vector_fn, scalar_fn, isas);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    for (std::size_t k = 0; k < isas.size(); ++k) {
        const Outcome& o = outcomes[k];
        std::printf("%-44s %-7s %11llu inputs, %llu differ", what.c_str(), vm::isa_name(isas[k]),
                    static_cast<unsigned long long>(o.compared),
                    static_cast<unsigned long long>(o.differing));
        if (o.differing != 0) {
            std::printf(" (first x 0x%08x y 0x%08x)", o.first_x, o.first_y);
            all_equal = false;
        }
        std::printf("  [%.0f s for all]\n", took.count());
    }
    std::fflush(stdout);
}

constexpr std::size_t kBatch = 1 << 16;
constexpr std::uint64_t kAllBatches = (std::uint64_t{1} << 32) / kBatch;

// Batch b of all 2**32 bit patterns, with a fixed y.
Fill every_x(float y) {
    return [y](std::uint64_t b, std::vector<float>& x) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            x[i] = from_bits(static_cast<std::uint32_t>(b * x.size() + i));
        }
        return y;
    };
}

std::uint64_t mix(std::uint64_t z) {  // splitmix64: a fixed, seedable stream per batch
    z += 0x9e3779b97f4a7c15u;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
    const auto wanted = [argc, argv](const char* name) {
        if (argc < 2) {
            return true;
        }
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], name) == 0) {
                return true;
            }
        }
        return false;
    };
    std::printf("C library %s; the vector code was proven against 2.36\n", gnu_get_libc_version());
    for (vm::Isa isa : kVectorIsas) {
        if (!vm::isa_available(isa)) {
            std::printf("%s: not available on this processor or C library, not proven here\n",
                        vm::isa_name(isa));
        }
    }
    std::printf("chosen in this process: tanhf %s, sinf %s, cosf %s, tanf %s, powf %s\n",
                vm::isa_name(vm::tanhf_isa()), vm::isa_name(vm::sinf_isa()),
                vm::isa_name(vm::cosf_isa()), vm::isa_name(vm::tanf_isa()), vm::isa_name(vm::powf_isa()));

    using UnaryWith = bool (*)(vm::Isa, const float*, float*, std::size_t);
    struct UnaryProof {
        const char* name;
        UnaryWith run;
        float (*scalar)(float);
    };
    const UnaryProof unary[] = {
        {"tanhf", vm::tanhf_array_with, [](float x) { return std::tanh(x); }},
        {"sinf", vm::sinf_array_with, [](float x) { return std::sin(x); }},
        {"cosf", vm::cosf_array_with, [](float x) { return std::cos(x); }},
        {"tanf", vm::tanf_array_with, [](float x) { return std::tan(x); }},
    };
    for (const UnaryProof& u : unary) {
        if (!wanted(u.name)) {
            continue;
        }
        const UnaryWith run = u.run;
        const auto scalar = u.scalar;
        prove(std::string(u.name) + ", all 2**32 x", kAllBatches, kBatch, every_x(0.0f),
              [run](vm::Isa isa, const float* in, float, float* out, std::size_t n) { run(isa, in, out, n); },
              [scalar](float x, float) { return scalar(x); });
    }

    if (wanted("powf")) {
        const auto powf_vector = [](vm::Isa isa, const float* in, float y, float* out, std::size_t n) {
            vm::powf_array_with(isa, in, y, out, n);
        };
        const auto powf_scalar = [](float x, float y) { return std::pow(x, y); };
        // Computed as the effects compute them: the compressor's and de-esser's 1/ratio - 1 at
        // ratios 4 (their default) and 2, the upward compressor's (ratio - 1)/ratio at 2 and
        // the expander's ratio - 1 at 2.
        const float exponents[] = {1.0f / 4.0f - 1.0f, 1.0f / 2.0f - 1.0f, (2.0f - 1.0f) / 2.0f,
                                   2.0f - 1.0f};
        for (float y : exponents) {
            char what[64];
            std::snprintf(what, sizeof what, "powf, all 2**32 x, y = %.9g", static_cast<double>(y));
            prove(what, kAllBatches, kBatch, every_x(y), powf_vector, powf_scalar);
        }
        // Random pairs: 2**28 x, a new random y bit pattern every 64.
        const std::uint64_t pair_batches = (std::uint64_t{1} << 28) / 64;
        prove("powf, 2**28 random (x, y), 2**22 y", pair_batches, 64,
              [](std::uint64_t b, std::vector<float>& x) {
                  std::uint64_t state = mix(b);
                  for (float& v : x) {
                      state = mix(state);
                      v = from_bits(static_cast<std::uint32_t>(state));
                  }
                  return from_bits(static_cast<std::uint32_t>(mix(state) >> 32));
              },
              powf_vector, powf_scalar);
    }

    std::printf(all_equal ? "all equal\n" : "DIFFERENCES FOUND\n");
    return all_equal ? 0 : 1;
}
