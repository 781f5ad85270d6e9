// The walk shared by the dynamics laws whose only running state is one peak envelope per
// channel: each sample first advances its channel's envelope, then the law turns the new
// envelope and the sample into the output.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "effects/dynamics/envelope.hpp"
#include "effects/dynamics/follow_and_raise.hpp"
#include "engine/channel_walk.hpp"
#include "engine/vecmath/vecmath.hpp"

namespace kavri {

// Whether a law's base is the envelope over a divisor it names: e / divisor().
template <typename Law, typename = void>
struct divides_envelope : std::false_type {};
template <typename Law>
struct divides_envelope<Law, std::void_t<decltype(std::declval<const Law&>().divisor())>>
    : std::true_type {};

// A law that raises a base to one exponent per call provides raises(e), base(e) and
// apply(x, e, p) as for_each_channel_sample_powf describes; the powf calls are taken a chunk
// at a time, with the scalar call's bits.
template <typename Law>
struct EnvelopePowfKernel {
    float* envelope_memory;
    FollowerCoefficients follower;
    Law law;

    float load(int ch) const { return envelope_memory[ch]; }
    void store(int ch, float e) const { envelope_memory[ch] = e; }
    float envelope(float& e, float sample) const {
        e = follower.step(e, sample);
        return e;
    }
    template <int Width>
    void envelopes(float (&state)[Width], const float* rows, std::size_t stride, std::size_t m,
                   float* env) const {
        follower.walk<Width>(state, rows, stride, m, env);
    }
    // For a law whose base is the envelope over a divisor (Law::divisor()), with whole frames
    // of 1, 2 or 4 channels: the followers and every power in one pass, where powf's AVX-512
    // lanes are in use (see follow_and_raise.hpp). Returns false, doing nothing, elsewhere.
    template <int Width>
    bool follow_and_raise(float (&state)[Width], const float* rows, std::size_t m, float exponent,
                          float* env, float* power) const {
        if constexpr ((Width == 1 || Width == 2 || Width == 4) && divides_envelope<Law>::value) {
            if (vecmath::powf_runs_avx512(exponent)) {
                follow_and_raise_avx512<Width>(follower, state, rows, m, law.divisor(), exponent,
                                               env, power);
                return true;
            }
        }
        return false;
    }
    bool raises(float e) const { return law.raises(e); }
    float base(float e) const { return law.base(e); }
    float apply(float x, float e, float p) const { return law.apply(x, e, p); }
};

// Runs the law over every sample, per channel, on the channel ranges of
// parallel_for_channels, reading the samples from `source` and writing them to `data` (the
// same buffer, or two of the same shape apart); `envelope` holds one running value per
// channel.
template <typename Law>
void apply_envelope_powf_law_from(const float* source, float* data, unsigned long long frames,
                                  int channels, unsigned long long block_size, unsigned int workers,
                                  std::vector<float>& envelope, float attack, float release,
                                  float exponent, Law law) {
    const EnvelopePowfKernel<Law> kernel{envelope.data(), FollowerCoefficients(attack, release),
                                         law};
    for_each_channel_sample_powf_from(source, data, frames, channels, block_size, workers, kernel,
                                      exponent);
}

}  // namespace kavri
