#include "engine/vecmath/vecmath.hpp"

#include <gnu/libc-version.h>
#include <immintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kavri::vecmath {

namespace detail {
void tanhf_avx2(const float* in, float* out, std::size_t n);
void tanhf_avx512(const float* in, float* out, std::size_t n);
void powf_avx2(const float* in, float y, float* out, std::size_t n);
void powf_avx512(const float* in, float y, float* out, std::size_t n);
void sinf_avx2(const float* in, float* out, std::size_t n);
void sinf_avx512(const float* in, float* out, std::size_t n);
void cosf_avx2(const float* in, float* out, std::size_t n);
void cosf_avx512(const float* in, float* out, std::size_t n);
void tanf_avx2(const float* in, float* out, std::size_t n);
void tanf_avx512(const float* in, float* out, std::size_t n);
}  // namespace detail

namespace {

// The vector code runs on the SSE/AVX unit, whose results depend on its control register
// (MXCSR): the rounding mode (bits 13-14), flush-to-zero (bit 15) and denormals-are-zero
// (bit 6). It was proven equal to the scalar calls only in the standard state: rounding to
// nearest, both switches off, every exception masked (bits 7-12; an unmasked one could trap
// in a padding lane the scalar call never computes). The x87 control word, which fegetround
// reads on x86-64, plays no part in it. The sticky exception flags (bits 0-5) are ignored.
constexpr unsigned int kControlBits = 0xffc0u;
constexpr unsigned int kStandardControl = 0x1f80u;

// One read of MXCSR: whether this thread's vector unit is in the proven state.
bool vector_state_is_standard() {
    return (_mm_getcsr() & kControlBits) == kStandardControl;
}

// Runs the self-checks below in the standard state whatever state the loading thread is in,
// so that the choice made at load does not depend on it, and restores the thread's own.
class StandardVectorState {
public:
    StandardVectorState() : saved_(_mm_getcsr()) {
        _mm_setcsr((saved_ & ~kControlBits) | kStandardControl);
    }
    StandardVectorState(const StandardVectorState&) = delete;
    StandardVectorState& operator=(const StandardVectorState&) = delete;
    ~StandardVectorState() { _mm_setcsr(saved_); }

private:
    unsigned int saved_;
};

// The C library version every vector function here was proven against.
constexpr const char* kProvenLibc = "2.36";

bool libc_is_proven() {
    return std::strcmp(gnu_get_libc_version(), kProvenLibc) == 0;
}

bool cpu_has(Isa isa) {
    __builtin_cpu_init();
    switch (isa) {
        case Isa::scalar:
            return true;
        case Isa::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    }
    return false;
}

float bits_to_float(std::uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

std::uint32_t float_to_bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

// Bit patterns on both sides of every branch threshold of the scalar code, the special
// values, and random patterns from a fixed xorshift sequence; each with both signs.
std::vector<float> check_inputs(const std::vector<std::uint32_t>& thresholds) {
    std::vector<std::uint32_t> magnitudes = {0u,          1u,          0x007fffffu, 0x00800000u,
                                             0x7f7fffffu, 0x7f800000u, 0x7f800001u, 0x7fc00000u,
                                             0x7fffffffu, 0x3f800000u, 0x40000000u};
    for (std::uint32_t t : thresholds) {
        for (std::uint32_t d = 0; d < 3; ++d) {
            magnitudes.push_back(t - d - 1);
            magnitudes.push_back(t + d);
        }
    }
    std::uint32_t state = 0x9e3779b9u;
    for (int i = 0; i < 2048; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        magnitudes.push_back(state & 0x7fffffffu);
    }
    std::vector<float> inputs;
    for (std::uint32_t m : magnitudes) {
        inputs.push_back(bits_to_float(m));
        inputs.push_back(bits_to_float(m | 0x80000000u));
    }
    return inputs;
}

template <typename Vector, typename Scalar>
bool agrees(const std::vector<float>& inputs, Vector vector_fn, Scalar scalar_fn) {
    std::vector<float> out(inputs.size());
    vector_fn(inputs.data(), out.data(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (float_to_bits(out[i]) != float_to_bits(scalar_fn(inputs[i]))) {
            return false;
        }
    }
    return true;
}

// tanhf's own thresholds, and the thresholds of the expm1f it calls with 2|x|, carried
// back to x (half the argument is its bit pattern less one in the exponent).
std::vector<float> tanhf_check_inputs() {
    std::vector<std::uint32_t> thresholds = {0x24000000u, 0x3f800000u, 0x41b00000u};
    for (std::uint32_t t : {0x3eb17218u, 0x3F851592u, 0x33000000u, 0x4195b844u}) {
        thresholds.push_back(t - 0x00800000u);
    }
    std::vector<float> inputs = check_inputs(thresholds);
    // Where the reduction's k steps from one value to the next, for every k tanhf reaches.
    for (int k = 1; k < 64; ++k) {
        const float x = (static_cast<float>(k) + 0.5f) * 0.34657359f;
        inputs.push_back(x);
        inputs.push_back(std::nextafter(x, 0.0f));
        inputs.push_back(std::nextafter(x, 100.0f));
        inputs.push_back(-x);
    }
    return inputs;
}

// A one-argument function: the scalar call and the vector implementations.
using ArrayFn = void (*)(const float*, float*, std::size_t);

struct Unary {
    float (*scalar)(float);
    ArrayFn avx2;
    ArrayFn avx512;
};

float scalar_tanhf(float x) {
    return std::tanh(x);
}
float scalar_sinf(float x) {
    return std::sin(x);
}
float scalar_cosf(float x) {
    return std::cos(x);
}
float scalar_tanf(float x) {
    return std::tan(x);
}

constexpr Unary kTanhf{scalar_tanhf, detail::tanhf_avx2, detail::tanhf_avx512};
constexpr Unary kSinf{scalar_sinf, detail::sinf_avx2, detail::sinf_avx512};
constexpr Unary kCosf{scalar_cosf, detail::cosf_avx2, detail::cosf_avx512};
constexpr Unary kTanf{scalar_tanf, detail::tanf_avx2, detail::tanf_avx512};

bool run_unary(const Unary& f, Isa isa, const float* in, float* out, std::size_t n) {
    if (!isa_available(isa)) {
        return false;
    }
    switch (isa) {
        case Isa::scalar:
            for (std::size_t i = 0; i < n; ++i) {
                out[i] = f.scalar(in[i]);
            }
            break;
        case Isa::avx2:
            f.avx2(in, out, n);
            break;
        case Isa::avx512:
            f.avx512(in, out, n);
            break;
    }
    return true;
}

// The widest implementation that agrees with the scalar call on every check input.
Isa choose_unary(const Unary& f, const std::vector<float>& inputs) {
    const StandardVectorState standard;
    for (Isa isa : {Isa::avx512, Isa::avx2}) {
        if (!isa_available(isa)) {
            continue;
        }
        const auto vector_fn = [&f, isa](const float* in, float* out, std::size_t n) {
            run_unary(f, isa, in, out, n);
        };
        if (agrees(inputs, vector_fn, f.scalar)) {
            return isa;
        }
    }
    return Isa::scalar;
}

void run_chosen(const Unary& f, Isa chosen, const float* in, float* out, std::size_t n) {
    if (chosen == Isa::scalar || !vector_state_is_standard()) {
        run_unary(f, Isa::scalar, in, out, n);
    } else if (chosen == Isa::avx512) {
        f.avx512(in, out, n);
    } else {
        f.avx2(in, out, n);
    }
}

// sinf's and cosf's thresholds (2^-12, pi/4 and 120 as the top twelve bits see them), the
// points where the quadrant steps (odd multiples of pi/4, near and far), and large arguments.
std::vector<float> sincosf_check_inputs() {
    std::vector<float> inputs =
        check_inputs({0x39800000u, 0x3f400000u, 0x42f00000u, 0x3f490fdbu, 0x00800000u});
    for (int k = 1; k < 400; k += 2) {
        const float x = static_cast<float>(k) * 0.78539819f;
        inputs.push_back(x);
        inputs.push_back(std::nextafter(x, 0.0f));
        inputs.push_back(std::nextafter(x, 1e9f));
        inputs.push_back(-x);
    }
    for (float x : {1e4f, 12345.678f, 1e6f, 3.0e7f, 1e10f, 1e20f, 3.4e38f, 102.1017612f}) {
        inputs.push_back(x);
        inputs.push_back(-x);
    }
    return inputs;
}

// tanf's thresholds: pi/4, 120, and its kernel's 2^-13 and 0.6744 (also as reduced
// arguments near multiples of pi/2, where the kernel sees them), plus the quadrant steps.
std::vector<float> tanf_check_inputs() {
    std::vector<float> inputs = check_inputs(
        {0x3f490fdau, 0x42f00000u, 0x39000000u, 0x3f2ca140u, 0x3fc90fdbu, 0x40490fdbu});
    for (int k = 1; k < 150; ++k) {
        const float x = static_cast<float>(k) * 0.78539819f;
        inputs.push_back(x);
        inputs.push_back(std::nextafter(x, 0.0f));
        inputs.push_back(std::nextafter(x, 1e9f));
        inputs.push_back(-x);
    }
    return inputs;
}

void scalar_powf_array(const float* in, float y, float* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = std::pow(in[i], y);
    }
}

// powf's own thresholds in x (subnormals, one, the table's offset) and the x near which
// |y log2 x| reaches 126, 149 and 150 for the exponents checked.
std::vector<float> powf_check_inputs() {
    std::vector<std::uint32_t> thresholds = {0x00800000u, 0x3f800000u, 0x3f330000u, 0x7f800000u};
    std::vector<float> inputs = check_inputs(thresholds);
    for (float e : {126.0f, 149.0f, 150.0f, 128.0f}) {
        for (float y : {0.5f, -0.5f, 2.0f, -0.75f, 3.0f}) {
            const float x = std::pow(2.0f, e / y);
            inputs.push_back(x);
            inputs.push_back(std::nextafter(x, 0.0f));
            inputs.push_back(std::nextafter(x, 1e30f));
        }
    }
    return inputs;
}

// The exponents checked: those of the usual ratios, integers (where negative x is defined),
// a subnormal and a huge one, and the special values that send a whole call to the scalar path.
const float kPowfCheckExponents[] = {-0.75f, -0.5f, 0.5f,   -0.6666666f, 0.1f,      1.0f, 2.0f,
                                     3.0f,   -1.0f, 1e-40f, 1e20f,       -123.456f, 0.0f};

Isa choose_powf() {
    const StandardVectorState standard;
    const std::vector<float> inputs = powf_check_inputs();
    for (Isa isa : {Isa::avx512, Isa::avx2}) {
        if (!isa_available(isa)) {
            continue;
        }
        bool ok = true;
        for (float y : kPowfCheckExponents) {
            const auto vector_fn = [isa, y](const float* in, float* out, std::size_t n) {
                powf_array_with(isa, in, y, out, n);
            };
            ok = ok && agrees(inputs, vector_fn, [y](float x) { return std::pow(x, y); });
        }
        if (ok) {
            return isa;
        }
    }
    return Isa::scalar;
}

// Whether y sends powf down its special path whatever x is: zero, infinite or NaN.
bool exponent_is_special(float y) {
    const std::uint32_t iy = float_to_bits(y);
    return 2u * iy - 1u >= 2u * 0x7f800000u - 1u;
}

// Chosen once while the library loads, before any thread of the engine runs.
// Run while the library loads, on the thread that loads it, before anything can call in.
// Choosing allocates its check inputs: a library that cannot do so while it loads (the
// process out of memory) keeps the C library's calls rather than end the process.
Isa chosen_or_scalar(Isa (*choose)()) noexcept {
    try {
        return choose();
    } catch (...) {
        return Isa::scalar;
    }
}

Isa choose_tanhf() {
    return choose_unary(kTanhf, tanhf_check_inputs());
}
Isa choose_sinf() {
    return choose_unary(kSinf, sincosf_check_inputs());
}
Isa choose_cosf() {
    return choose_unary(kCosf, sincosf_check_inputs());
}
Isa choose_tanf() {
    return choose_unary(kTanf, tanf_check_inputs());
}

const Isa chosen_tanhf = chosen_or_scalar(choose_tanhf);
const Isa chosen_sinf = chosen_or_scalar(choose_sinf);
const Isa chosen_cosf = chosen_or_scalar(choose_cosf);
const Isa chosen_tanf = chosen_or_scalar(choose_tanf);
const Isa chosen_powf = chosen_or_scalar(choose_powf);

}  // namespace

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::scalar:
            return "scalar";
        case Isa::avx2:
            return "avx2";
        case Isa::avx512:
            return "avx512";
    }
    return "unknown";
}

bool isa_available(Isa isa) {
    return isa == Isa::scalar || (libc_is_proven() && cpu_has(isa));
}

bool tanhf_array_with(Isa isa, const float* in, float* out, std::size_t n) {
    return run_unary(kTanhf, isa, in, out, n);
}
Isa tanhf_isa() {
    return chosen_tanhf;
}
void tanhf_array(const float* in, float* out, std::size_t n) {
    run_chosen(kTanhf, chosen_tanhf, in, out, n);
}

bool sinf_array_with(Isa isa, const float* in, float* out, std::size_t n) {
    return run_unary(kSinf, isa, in, out, n);
}
Isa sinf_isa() {
    return chosen_sinf;
}
void sinf_array(const float* in, float* out, std::size_t n) {
    run_chosen(kSinf, chosen_sinf, in, out, n);
}

bool cosf_array_with(Isa isa, const float* in, float* out, std::size_t n) {
    return run_unary(kCosf, isa, in, out, n);
}
Isa cosf_isa() {
    return chosen_cosf;
}
void cosf_array(const float* in, float* out, std::size_t n) {
    run_chosen(kCosf, chosen_cosf, in, out, n);
}

bool tanf_array_with(Isa isa, const float* in, float* out, std::size_t n) {
    return run_unary(kTanf, isa, in, out, n);
}
Isa tanf_isa() {
    return chosen_tanf;
}
void tanf_array(const float* in, float* out, std::size_t n) {
    run_chosen(kTanf, chosen_tanf, in, out, n);
}

bool powf_array_with(Isa isa, const float* in, float y, float* out, std::size_t n) {
    if (!isa_available(isa)) {
        return false;
    }
    if (isa == Isa::scalar || exponent_is_special(y)) {
        scalar_powf_array(in, y, out, n);
    } else if (isa == Isa::avx2) {
        detail::powf_avx2(in, y, out, n);
    } else {
        detail::powf_avx512(in, y, out, n);
    }
    return true;
}

Isa powf_isa() {
    return chosen_powf;
}

bool powf_runs_avx512(float y) {
    return chosen_powf == Isa::avx512 && !exponent_is_special(y) && vector_state_is_standard();
}

void powf_array(const float* in, float y, float* out, std::size_t n) {
    if (chosen_powf == Isa::scalar || exponent_is_special(y) || !vector_state_is_standard()) {
        scalar_powf_array(in, y, out, n);
        return;
    }
    if (chosen_powf == Isa::avx512) {
        detail::powf_avx512(in, y, out, n);
    } else {
        detail::powf_avx2(in, y, out, n);
    }
}

}  // namespace kavri::vecmath
