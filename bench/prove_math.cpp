// Proves the vector math functions equal to the platform's scalar calls, bit for bit, over
// every input: all 2**32 float bit patterns for one-argument functions. Run with
// `make prove-math`; it prints one line per function and implementation and exits non-zero
// on any difference. Takes minutes; the work is split over the processor's cores.
#include <gnu/libc-version.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/vecmath/vecmath.hpp"

namespace vm = kavri::vecmath;

namespace {

std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

struct Outcome {
    std::uint64_t compared = 0;
    std::uint64_t differing = 0;
    std::uint32_t first_input = 0;
};

// Compares fn_vector with fn_scalar on every bit pattern in [begin, end).
template <typename Vector, typename Scalar>
Outcome sweep(std::uint64_t begin, std::uint64_t end, const Vector& fn_vector, const Scalar& fn_scalar) {
    constexpr std::size_t chunk = 4096;
    std::vector<float> in(chunk), out(chunk);
    Outcome o;
    for (std::uint64_t base = begin; base < end; base += chunk) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, end - base));
        for (std::size_t i = 0; i < n; ++i) {
            const auto u = static_cast<std::uint32_t>(base + i);
            std::memcpy(&in[i], &u, sizeof u);
        }
        fn_vector(in.data(), out.data(), n);
        for (std::size_t i = 0; i < n; ++i) {
            if (bits(out[i]) != bits(fn_scalar(in[i]))) {
                if (o.differing == 0) {
                    o.first_input = bits(in[i]);
                }
                ++o.differing;
            }
        }
        o.compared += n;
    }
    return o;
}

// Every float bit pattern, split over the cores.
template <typename Vector, typename Scalar>
Outcome sweep_all(const Vector& fn_vector, const Scalar& fn_scalar) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const std::uint64_t total = std::uint64_t{1} << 32;
    std::vector<Outcome> parts(threads);
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            parts[t] = sweep(total * t / threads, total * (t + 1) / threads, fn_vector, fn_scalar);
        });
    }
    for (auto& th : pool) {
        th.join();
    }
    Outcome all;
    for (const auto& p : parts) {
        if (p.differing != 0 && all.differing == 0) {
            all.first_input = p.first_input;
        }
        all.compared += p.compared;
        all.differing += p.differing;
    }
    return all;
}

bool report(const char* function, vm::Isa isa, const Outcome& o, double seconds) {
    std::printf("%-28s %-7s %12llu inputs, %llu differ", function, vm::isa_name(isa),
                static_cast<unsigned long long>(o.compared),
                static_cast<unsigned long long>(o.differing));
    if (o.differing != 0) {
        std::printf(" (first 0x%08x)", o.first_input);
    }
    std::printf("  [%.1f s]\n", seconds);
    std::fflush(stdout);
    return o.differing == 0;
}

}  // namespace

int main() {
    std::printf("C library %s; vector code proven against 2.36\n", gnu_get_libc_version());
    bool all_equal = true;
    int proofs = 0;
    for (vm::Isa isa : {vm::Isa::avx2, vm::Isa::avx512}) {
        if (!vm::isa_available(isa)) {
            std::printf("%s: not available on this processor or C library, skipped\n",
                        vm::isa_name(isa));
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const Outcome o = sweep_all(
            [isa](const float* in, float* out, std::size_t n) { vm::tanhf_array_with(isa, in, out, n); },
            [](float x) { return std::tanh(x); });
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        all_equal = report("tanhf (all 2**32 inputs)", isa, o, took.count()) && all_equal;
        ++proofs;
    }
    std::printf("chosen in this process: tanhf %s\n", vm::isa_name(vm::tanhf_isa()));
    if (proofs == 0) {
        std::printf("nothing to prove here\n");
    }
    std::printf(all_equal ? "all equal\n" : "DIFFERENCES FOUND\n");
    return all_equal ? 0 : 1;
}
