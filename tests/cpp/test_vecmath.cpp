// The vector math functions against the platform's scalar calls, bit for bit, on a sample of
// inputs: a stride through all bit patterns, the neighbourhoods of every branch threshold,
// arrays of every length around the vector widths, and the fallbacks. The full proof over
// every input is `make prove-math`.
#include <immintrin.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "effects/level/level.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace {

using namespace kavri;
namespace vm = kavri::vecmath;

int failures = 0;
int checks = 0;

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

void expect(bool ok, const char* what, const char* isa) {
    ++checks;
    if (!ok) {
        std::printf("FAILED: %s (%s)\n", what, isa);
        ++failures;
    }
}

// Index of the first input whose result differs from the scalar call, or -1.
template <typename Scalar>
long first_difference(const std::vector<float>& in, const std::vector<float>& out,
                      const Scalar& scalar) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (bits(out[i]) != bits(scalar(in[i]))) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// A stride through every bit pattern (about a million inputs, both signs, NaNs included) and
// every pattern within 4096 ulps of each listed threshold magnitude.
std::vector<float> sample_inputs(const std::vector<std::uint32_t>& thresholds) {
    std::vector<float> in;
    for (std::uint64_t u = 0; u < (std::uint64_t{1} << 32); u += 4093) {
        in.push_back(from_bits(static_cast<std::uint32_t>(u)));
    }
    for (std::uint32_t t : thresholds) {
        for (std::uint32_t d = 0; d < 4096; ++d) {
            for (std::uint32_t sign : {0u, 0x80000000u}) {
                in.push_back(from_bits(sign | (t - 2048 + d)));
            }
        }
    }
    return in;
}

// One of the one-argument functions: its array entries and the scalar call it must equal.
struct Unary {
    const char* name;
    bool (*with)(vm::Isa, const float*, float*, std::size_t);
    void (*chosen)(const float*, float*, std::size_t);
    vm::Isa (*chosen_isa)();
    float (*scalar)(float);
    std::vector<std::uint32_t> thresholds;
};

void check_unary(const Unary& f) {
    const std::vector<float> in = sample_inputs(f.thresholds);
    char what[160];
    for (vm::Isa isa : {vm::Isa::avx2, vm::Isa::avx512}) {
        if (!vm::isa_available(isa)) {
            std::printf("%s: %s not available here, skipped\n", f.name, vm::isa_name(isa));
            continue;
        }
        const char* name = vm::isa_name(isa);
        std::vector<float> out(in.size());
        f.with(isa, in.data(), out.data(), in.size());
        const long at = first_difference(in, out, f.scalar);
        if (at >= 0) {
            const auto i = static_cast<std::size_t>(at);
            std::printf("%s %s: input 0x%08x gives 0x%08x, the scalar call 0x%08x\n", f.name, name,
                        bits(in[i]), bits(out[i]), bits(f.scalar(in[i])));
        }
        std::snprintf(what, sizeof what, "%s equals the scalar call on the sample", f.name);
        expect(at < 0, what, name);

        // Every length up to three vectors and every starting offset within one, in place and
        // out of place: the tail of an array is neither skipped nor written past.
        bool lengths_ok = true;
        for (std::size_t offset = 0; offset < 17; ++offset) {
            for (std::size_t n = 0; n <= 49; ++n) {
                const auto first = in.begin() + static_cast<std::ptrdiff_t>(1000 + offset);
                std::vector<float> src(first, first + static_cast<std::ptrdiff_t>(n));
                std::vector<float> dst(n + 1, 12345.0f);
                f.with(isa, src.data(), dst.data(), n);
                std::vector<float> same = src;
                f.with(isa, same.data(), same.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    lengths_ok = lengths_ok && bits(dst[i]) == bits(f.scalar(src[i])) &&
                                 bits(same[i]) == bits(dst[i]);
                }
                lengths_ok = lengths_ok && dst[n] == 12345.0f;
            }
        }
        std::snprintf(what, sizeof what, "%s on every short length, in place and not", f.name);
        expect(lengths_ok, what, name);
    }
    // The chosen implementation through the public entry, and the scalar fallback in the
    // other rounding modes (where the vector code was never proven).
    std::vector<float> out(in.size());
    f.chosen(in.data(), out.data(), in.size());
    std::snprintf(what, sizeof what, "%s through its public entry equals the scalar call", f.name);
    expect(first_difference(in, out, f.scalar) < 0, what, vm::isa_name(f.chosen_isa()));
    std::snprintf(what, sizeof what, "a vector %s is chosen where one can run", f.name);
    expect(f.chosen_isa() != vm::Isa::scalar || !vm::isa_available(vm::Isa::avx2), what,
           vm::isa_name(f.chosen_isa()));
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        std::fesetround(mode);
        f.chosen(in.data(), out.data(), in.size());
        const long at = first_difference(in, out, f.scalar);
        std::fesetround(FE_TONEAREST);
        std::snprintf(what, sizeof what, "%s equals the scalar call in a directed rounding mode",
                      f.name);
        expect(at < 0, what, "any");
    }
}

void check_unaries() {
    // tanhf's own branch points, and its expm1f's carried back to x = argument / 2.
    check_unary({"tanhf",
                 vm::tanhf_array_with,
                 vm::tanhf_array,
                 vm::tanhf_isa,
                 [](float x) { return std::tanh(x); },
                 {0x24000000u, 0x3f800000u, 0x41b00000u, 0x7f800000u, 0x3eb17218u - 0x00800000u,
                  0x3F851592u - 0x00800000u, 0x33000000u - 0x00800000u, 0x4195b844u - 0x00800000u,
                  0x00800000u, 0x00000800u}});
    // sinf's and cosf's: 2^-12, pi/4 and 120 as their top twelve bits see them, pi/4 itself,
    // and odd multiples of pi/4 where the quadrant steps, short and long reduction.
    const std::vector<std::uint32_t> trig = {0x39800000u, 0x3f400000u, 0x42f00000u, 0x3f490fdbu,
                                             0x4016cbe4u, 0x40fb53d1u, 0x42c90fdbu, 0x42f2d97cu,
                                             0x7f800000u, 0x00800000u};
    check_unary({"sinf", vm::sinf_array_with, vm::sinf_array, vm::sinf_isa,
                 [](float x) { return std::sin(x); }, trig});
    check_unary({"cosf", vm::cosf_array_with, vm::cosf_array, vm::cosf_isa,
                 [](float x) { return std::cos(x); }, trig});
    // tanf's: pi/4 and 120, its kernel's 2^-13 and 0.6744, and pi/2 and pi, where the
    // reduced argument the kernel sees comes near zero.
    check_unary({"tanf",
                 vm::tanf_array_with,
                 vm::tanf_array,
                 vm::tanf_isa,
                 [](float x) { return std::tan(x); },
                 {0x3f490fdau, 0x42f00000u, 0x39000000u, 0x3f2ca140u, 0x3fc90fdbu, 0x40490fdbu,
                  0x7f800000u, 0x00800000u}});
}

void check_powf() {
    // powf's thresholds in x: subnormals, one, the table offset, infinity.
    const std::vector<float> xs =
        sample_inputs({0x00800000u, 0x3f800000u, 0x3f330000u, 0x7f800000u, 0x00000001u});
    // Usual exponents of the dynamics laws, integers (negative x defined), a subnormal and a
    // huge one (results overflow and underflow), and the special ones that take the scalar path.
    const float exponents[] = {-0.75f,
                               0.5f,
                               1.0f,
                               -0.5f,
                               2.0f,
                               3.0f,
                               -0.6666666f,
                               7.0f,
                               1e-40f,
                               -1e-40f,
                               1e20f,
                               -37.5f,
                               0.0f,
                               -0.0f,
                               std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::quiet_NaN()};
    for (vm::Isa isa : {vm::Isa::avx2, vm::Isa::avx512}) {
        if (!vm::isa_available(isa)) {
            std::printf("powf: %s not available here, skipped\n", vm::isa_name(isa));
            continue;
        }
        const char* name = vm::isa_name(isa);
        bool same = true;
        std::vector<float> out(xs.size());
        for (float y : exponents) {
            vm::powf_array_with(isa, xs.data(), y, out.data(), xs.size());
            const long at = first_difference(xs, out, [y](float x) { return std::pow(x, y); });
            if (at >= 0) {
                const auto i = static_cast<std::size_t>(at);
                std::printf("powf %s: x 0x%08x, y 0x%08x gives 0x%08x, the scalar call 0x%08x\n",
                            name, bits(xs[i]), bits(y), bits(out[i]), bits(std::pow(xs[i], y)));
                same = false;
            }
        }
        expect(same, "powf equals the scalar call on the sample, every exponent", name);

        // Random exponents, a new one for every 16 x, with x of every kind.
        std::mt19937 rng(3);
        bool random_same = true;
        std::vector<float> x(16), r(16);
        for (int trial = 0; trial < 20000 && random_same; ++trial) {
            const float y = from_bits(rng());
            for (float& v : x) {
                v = from_bits(rng());
            }
            vm::powf_array_with(isa, x.data(), y, r.data(), x.size());
            random_same = first_difference(x, r, [y](float v) { return std::pow(v, y); }) < 0;
        }
        expect(random_same, "powf equals the scalar call on random pairs", name);

        // Every short length and offset, in place and not; a lane that falls to the scalar
        // call (the zero at the start) in the same vector as lanes that do not.
        bool lengths_ok = true;
        std::vector<float> src_all = {0.0f, 0.3f, 2.5f, -1.0f, 1e-41f, 7.0f, 1e30f, 0.9f, 1.1f};
        while (src_all.size() < 80) {
            src_all.push_back(0.01f * static_cast<float>(src_all.size()));
        }
        for (std::size_t offset = 0; offset < 9; ++offset) {
            for (std::size_t n = 0; n <= 40; ++n) {
                const auto first = src_all.begin() + static_cast<std::ptrdiff_t>(offset);
                std::vector<float> src(first, first + static_cast<std::ptrdiff_t>(n));
                std::vector<float> dst(n + 1, 12345.0f);
                vm::powf_array_with(isa, src.data(), -0.75f, dst.data(), n);
                std::vector<float> same_array = src;
                vm::powf_array_with(isa, same_array.data(), -0.75f, same_array.data(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    lengths_ok = lengths_ok && bits(dst[i]) == bits(std::pow(src[i], -0.75f)) &&
                                 bits(same_array[i]) == bits(dst[i]);
                }
                lengths_ok = lengths_ok && dst[n] == 12345.0f;
            }
        }
        expect(lengths_ok, "powf on every short length, in place and not", name);
    }
    std::vector<float> out(xs.size());
    vm::powf_array(xs.data(), -0.75f, out.data(), xs.size());
    expect(first_difference(xs, out, [](float x) { return std::pow(x, -0.75f); }) < 0,
           "powf_array equals the scalar call", vm::isa_name(vm::powf_isa()));
    expect(vm::powf_isa() != vm::Isa::scalar || !vm::isa_available(vm::Isa::avx2),
           "a vector powf is chosen where one can run", vm::isa_name(vm::powf_isa()));
    std::fesetround(FE_DOWNWARD);
    vm::powf_array(xs.data(), 0.5f, out.data(), xs.size());
    const long at = first_difference(xs, out, [](float x) { return std::pow(x, 0.5f); });
    std::fesetround(FE_TONEAREST);
    expect(at < 0, "powf_array equals the scalar call rounding downward", "any");
}

// The distortion over many channels and with workers splitting them: the narrow ranges
// gather their samples into runs, the wide ones work on each frame's row in place.
void check_distortion_runs() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> uniform(-3.0f, 3.0f);
    for (int channels : {5, 300, 1500}) {
        for (unsigned workers : {1u, 2u, 3u}) {
            const unsigned long long frames = channels > 100 ? 7 : 3001;
            std::vector<float> data(frames * static_cast<unsigned long long>(channels));
            for (float& x : data) {
                x = uniform(rng);
            }
            DistortionEffect effect(3.5f);
            std::vector<float> expected = data;
            for (float& x : expected) {
                x = std::tanh(x * effect.drive) / effect.normaliser;
            }
            effect.process(data.data(), frames, channels, 3, workers);
            ++checks;
            if (std::memcmp(data.data(), expected.data(), data.size() * sizeof(float)) != 0) {
                std::printf("FAILED: distortion, %d channels, workers %u\n", channels, workers);
                ++failures;
            }
        }
    }
}

// The vector code runs on the SSE/AVX unit, whose control register (MXCSR) holds its own
// rounding mode and the flush-to-zero and denormals-are-zero switches, apart from the x87
// control word. A caller (or a library built with fast-math) may set MXCSR alone. In every
// such state each public entry must still give the scalar call's bits, computed under the
// same state; with only the x87 word changed, nothing the vector code uses changes.
void check_control_states() {
    const std::vector<float> in =
        sample_inputs({0x00800000u, 0x3f800000u, 0x3f490fdbu, 0x00000800u});
    struct Entry {
        const char* name;
        std::function<void(const float*, float*, std::size_t)> array;
        std::function<float(float)> scalar;
    };
    const Entry entries[] = {
        {"tanhf", vm::tanhf_array, [](float x) { return std::tanh(x); }},
        {"sinf", vm::sinf_array, [](float x) { return std::sin(x); }},
        {"cosf", vm::cosf_array, [](float x) { return std::cos(x); }},
        {"tanf", vm::tanf_array, [](float x) { return std::tan(x); }},
        {"powf", [](const float* a, float* b, std::size_t n) { vm::powf_array(a, -0.75f, b, n); },
         [](float x) { return std::pow(x, -0.75f); }},
        {"powf", [](const float* a, float* b, std::size_t n) { vm::powf_array(a, 2.5f, b, n); },
         [](float x) { return std::pow(x, 2.5f); }},
    };
    const unsigned int standard = _mm_getcsr();
    struct State {
        const char* name;
        unsigned int csr;
    };
    const State states[] = {
        {"MXCSR rounding upward", (standard & ~0x6000u) | 0x4000u},
        {"MXCSR rounding downward", (standard & ~0x6000u) | 0x2000u},
        {"MXCSR rounding toward zero", standard | 0x6000u},
        {"MXCSR flush-to-zero", standard | 0x8000u},
        {"MXCSR denormals-are-zero", standard | 0x0040u},
    };
    std::vector<float> out(in.size());
    char what[160];
    for (const Entry& e : entries) {
        for (const State& s : states) {
            _mm_setcsr(s.csr);
            e.array(in.data(), out.data(), in.size());
            const long at = first_difference(in, out, e.scalar);
            _mm_setcsr(standard);
            std::snprintf(what, sizeof what, "%s equals the scalar call with %s", e.name, s.name);
            expect(at < 0, what, "any");
        }
        // The x87 rounding mode alone: the vector code does not use it and must still run.
        unsigned short word = 0;
        __asm__ volatile("fnstcw %0" : "=m"(word));
        const unsigned short upward = static_cast<unsigned short>((word & ~0x0c00u) | 0x0800u);
        __asm__ volatile("fldcw %0" : : "m"(upward));
        e.array(in.data(), out.data(), in.size());
        const long at = first_difference(in, out, e.scalar);
        __asm__ volatile("fldcw %0" : : "m"(word));
        std::snprintf(what, sizeof what,
                      "%s equals the scalar call with the x87 word rounding upward", e.name);
        expect(at < 0, what, "any");
    }
    expect(_mm_getcsr() == standard, "the control state is restored", "any");
}

}  // namespace

int main() {
    check_unaries();
    check_powf();
    check_distortion_runs();
    check_control_states();
    std::printf("%d of %d checks failed (tanhf runs %s, sinf %s, cosf %s, tanf %s, powf %s)\n",
                failures, checks, vm::isa_name(vm::tanhf_isa()), vm::isa_name(vm::sinf_isa()),
                vm::isa_name(vm::cosf_isa()), vm::isa_name(vm::tanf_isa()),
                vm::isa_name(vm::powf_isa()));
    return failures == 0 ? 0 : 1;
}
