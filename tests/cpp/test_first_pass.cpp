// A call's first effect may read the input and write the output in one pass instead of a copy
// and a pass. The output must be what the copy and the in-place pass give, bit for bit, the
// input must stay untouched, and every effect after the first must still run.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "effects/dynamics/compressor.hpp"
#include "effects/level/level.hpp"
#include "engine/effect.hpp"

namespace {

using namespace kavri;

int failures = 0;
int checks = 0;

using Builder = EffectPtr (*)();

EffectPtr gain() {
    return std::make_unique<GainEffect>(-7.5f);
}
EffectPtr clip() {
    return std::make_unique<ClipEffect>(0.4f);
}
EffectPtr distortion() {
    return std::make_unique<DistortionEffect>(3.0f);
}
EffectPtr compressor() {
    return std::make_unique<CompressorEffect>(-20.0f, 4.0f, 5.0f, 50.0f, 0.0f, 48000.0f, 3);
}

void check_chain(const std::string& name, const std::vector<Builder>& chain) {
    const int channels = 3;
    const unsigned long long frames = 2501;
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> uniform(-1.5f, 1.5f);
    std::vector<float> input(frames * channels);
    for (float& x : input) {
        x = uniform(rng);
    }
    input[7] = std::numeric_limits<float>::quiet_NaN();
    input[8] = -0.0f;
    const std::vector<float> original = input;
    for (unsigned workers : {1u, 2u, 3u}) {
        EffectList reference_effects;
        EffectList effects;
        for (Builder b : chain) {
            reference_effects.push_back(b());
            effects.push_back(b());
        }
        std::vector<float> expected = input;
        run_effects(reference_effects, expected.data(), frames, channels, 64, workers);
        std::vector<float> got(input.size(), 99.0f);
        run_effects_from(effects, input.data(), got.data(), frames, channels, 64, workers);
        ++checks;
        const bool same = std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)) == 0;
        const bool untouched =
            std::memcmp(input.data(), original.data(), input.size() * sizeof(float)) == 0;
        if (!same || !untouched) {
            std::printf("FAILED: %s, workers %u:%s%s\n", name.c_str(), workers,
                        same ? "" : " output differs", untouched ? "" : " input written");
            ++failures;
        }
    }
}

}  // namespace

int main() {
    check_chain("no effect", {});
    check_chain("gain", {gain});
    check_chain("clip", {clip});
    check_chain("gain then compressor then clip", {gain, compressor, clip});
    check_chain("distortion then gain", {distortion, gain});
    check_chain("compressor then gain", {compressor, gain});
    // A buffer with no frames: nothing to read or write.
    EffectList effects;
    effects.push_back(gain());
    float out = 5.0f;
    run_effects_from(effects, nullptr, &out, 0, 2, 64, 1);
    ++checks;
    if (out != 5.0f) {
        std::printf("FAILED: an empty buffer was written\n");
        ++failures;
    }
    std::printf("%d of %d checks failed\n", failures, checks);
    return failures == 0 ? 0 : 1;
}
