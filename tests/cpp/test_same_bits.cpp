// The effects against plain scalar loops that walk one channel at a time, frame by frame,
// with the arithmetic written out once more. Every output must be the same bits, for every
// channel count, block size and worker count, however the effect itself walks the buffer.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "effects/dynamics/band_dynamics.hpp"
#include "effects/dynamics/compressor.hpp"
#include "effects/dynamics/gate.hpp"
#include "effects/dynamics/limiter.hpp"
#include "effects/dynamics/transient_shaper.hpp"
#include "effects/filters/delay.hpp"
#include "effects/filters/filter_effect.hpp"
#include "effects/filters/modulated_delay.hpp"
#include "effects/filters/phaser.hpp"
#include "effects/filters/rotary_speaker.hpp"
#include "effects/level/level.hpp"
#include "effects/level/modulation.hpp"
#include "effects/level/stereo.hpp"

namespace {

using namespace kavri;

constexpr float kRate = 48000.0f;
constexpr float kTau = 6.2831855f;
constexpr float kPiF = 3.1415927f;

using Buffer = std::vector<float>;

// Loud and quiet stretches, so that every dynamics law crosses its threshold, and a few
// special values near the end of channel 1.
Buffer make_input(unsigned long long frames, int channels, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    const float levels[] = {0.0005f, 0.01f, 0.1f, 0.5f, 1.5f};
    Buffer data(frames * static_cast<unsigned long long>(channels));
    float level = 0.1f;
    for (unsigned long long i = 0; i < frames; ++i) {
        if (i % 357 == 0) {
            level = levels[rng() % 5];
        }
        for (int ch = 0; ch < channels; ++ch) {
            data[i * channels + ch] = uniform(rng) * level;
        }
    }
    if (channels > 1 && frames > 64) {
        const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                                  std::numeric_limits<float>::infinity(), -0.0f, 1e-40f};
        for (int k = 0; k < 4; ++k) {
            data[(frames - 40 + 9 * static_cast<std::size_t>(k)) * channels + 1] = specials[k];
        }
    }
    return data;
}

float follow(float envelope, float v, float attack, float release) {
    const float level = std::fabs(v);
    const float c = level > envelope ? attack : release;
    return (1.0f - c) * level + c * envelope;
}

float section(const BiquadCoefficients& k, BiquadState& s, float x) {
    const float y = k.b0 * x + s.z1;
    s.z1 = (k.b1 * x - k.a1 * y) + s.z2;
    s.z2 = k.b2 * x - k.a2 * y;
    return y;
}

// Runs sample(ch, x) -> y over one channel at a time, every frame in order.
template <typename Fn>
void per_channel(Buffer& data, int channels, Fn&& sample) {
    const unsigned long long frames = data.size() / static_cast<unsigned long long>(channels);
    for (int ch = 0; ch < channels; ++ch) {
        for (unsigned long long i = 0; i < frames; ++i) {
            float& x = data[i * channels + ch];
            x = sample(ch, x);
        }
    }
}

// The phaser one frame and one channel at a time, its state in the effect's own vectors.
void phaser_reference(Effect& e, Buffer& d, int c) {
    auto& f = static_cast<PhaserEffect&>(e);
    const unsigned long long frames = d.size() / c;
    const float hi = 0.45f * f.sample_rate > 80.0f ? 0.45f * f.sample_rate : 80.0f;
    for (unsigned long long i = 0; i < frames; ++i, ++f.frame_counter) {
        const float s =
            std::sin((static_cast<float>(f.frame_counter) / f.sample_rate) * (f.rate_hz * kTau));
        float fc = (f.depth * 1.65f * ((s + 1.0f) * 0.5f) + 0.35f) * f.center_hz;
        if (fc < 80.0f)
            fc = 80.0f;
        if (hi < fc)
            fc = hi;
        const float m = std::tan(fc * kPiF / f.sample_rate);
        float den = 1.0f + m;
        if (den < 0.000001f)
            den = 0.000001f;
        const float u = (1.0f - m) / den;
        for (int k = 0; k < c; ++k) {
            const float x = d[i * c + k];
            float t = f.feedback_memory[k] * f.feedback + x;
            for (auto& st : f.allpass_state[k]) {
                const float y = t * -u + st.x1 + st.y1 * u;
                st.x1 = t;
                st.y1 = y;
                t = y;
            }
            f.feedback_memory[k] = t;
            d[i * c + k] = t * f.mix + x * (1.0f - f.mix);
        }
    }
}

// Linear interpolation between slots floor(p) and floor(p) + 1, both modulo the line length.
float interpolate(const kavri::DelayLine& line, float p) {
    const float whole = std::floor(p);
    const auto e = static_cast<long long>(whole);
    const auto n = static_cast<long long>(line.size());
    const long long first = ((e % n) + n) % n;
    const long long second = (((e + 1) % n) + n) % n;
    const float frac = p - whole;
    return line[first] * (1.0f - frac) + line[second] * frac;
}

// The swept delay one frame at a time, its state in the effect's own fields.
void swept_reference(Effect& e, Buffer& d, int c) {
    auto& f = static_cast<ModulatedDelayEffect&>(e);
    const unsigned long long frames = d.size() / c;
    std::vector<float> dry(c), wet(c);
    for (unsigned long long i = 0; i < frames; ++i) {
        const float angle =
            (static_cast<float>(f.frame_counter) / f.sample_rate) * (f.rate_hz * kTau);
        for (int k = 0; k < c; ++k) {
            dry[k] = d[i * c + k];
            const float s = std::sin(f.phase_offsets[k] + angle);
            float delay = ((s + 1.0f) * 0.5f) * f.depth_samples + f.base_delay_samples;
            if (!(delay >= 1.0f))
                delay = 1.0f;
            wet[k] = interpolate(f.lines[k], static_cast<float>(f.write_pos) - delay);
        }
        for (int k = 0; k < c; ++k) {
            d[i * c + k] = f.wet_only ? wet[k] : f.mix * wet[k] + (1.0f - f.mix) * dry[k];
            f.lines[k][f.write_pos] = wet[k] * f.feedback + dry[k];
        }
        ++f.frame_counter;
        if (!(++f.write_pos < f.lines[0].size()))
            f.write_pos = 0;
    }
}

// The ping-pong delay one frame at a time: channels 0 and 1 swap echoes, the rest keep theirs.
void ping_pong_reference(Effect& e, Buffer& d, int c) {
    auto& f = static_cast<PingPongDelayEffect&>(e);
    const unsigned long long frames = d.size() / c;
    std::vector<float> dry(c), wet(c);
    for (unsigned long long i = 0; i < frames; ++i) {
        const float p = static_cast<float>(f.write_pos) - f.delay_samples;
        for (int k = 0; k < c; ++k) {
            dry[k] = d[i * c + k];
            wet[k] = interpolate(f.lines[k], p);
        }
        for (int k = 0; k < c; ++k) {
            const float src = (c != 1 && k <= 1) ? wet[1 - k] : wet[k];
            d[i * c + k] = f.mix * src + dry[k] * (1.0f - f.mix);
            f.lines[k][f.write_pos] = src * f.feedback + dry[k];
        }
        if (!(++f.write_pos < f.lines[0].size()))
            f.write_pos = 0;
    }
}

// Bit for bit, except that any NaN matches any NaN: which of two NaN operands an addition
// passes on depends on how the compiler orders the operands of that commutative operation,
// not on the arithmetic.
bool same_samples(const float* a, const float* b, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (std::isnan(a[i]) && std::isnan(b[i]))
            continue;
        // The representation is what is compared: bit for bit, -0 apart from +0.
        // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
        if (std::memcmp(a + i, b + i, sizeof(float)) != 0)
            return false;
    }
    return true;
}

struct Case {
    std::string name;
    std::function<EffectPtr(int channels)> build;
    // Processes the buffer as the effect (freshly built, unprocessed) should.
    std::function<void(Effect& fresh, Buffer& data, int channels, unsigned long long block)>
        reference;
};

std::vector<Case> cases() {
    std::vector<Case> all;
    all.push_back({"gain", [](int) { return std::make_unique<GainEffect>(-4.5f); },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       const float g = static_cast<GainEffect&>(e).linear_gain;
                       per_channel(d, c, [&](int, float x) { return x * g; });
                   }});
    all.push_back({"clip", [](int) { return std::make_unique<ClipEffect>(0.3f); },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       const float t = static_cast<ClipEffect&>(e).threshold;
                       per_channel(d, c, [&](int, float x) {
                           if (-t > x)
                               x = -t;
                           if (t < x)
                               x = t;
                           return x;
                       });
                   }});
    all.push_back(
        {"distortion", [](int) { return std::make_unique<DistortionEffect>(2.0f); },
         [](Effect& e, Buffer& d, int c, unsigned long long) {
             auto& f = static_cast<DistortionEffect&>(e);
             per_channel(d, c, [&](int, float x) { return std::tanh(x * f.drive) / f.normaliser; });
         }});
    all.push_back({"stereo width", [](int) { return std::make_unique<StereoWidthEffect>(1.7f); },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       const float w = static_cast<StereoWidthEffect&>(e).width;
                       if (c < 2)
                           return;
                       for (std::size_t i = 0; i < d.size(); i += c) {
                           const float mid = (d[i] + d[i + 1]) * 0.5f;
                           const float side = ((d[i] - d[i + 1]) * 0.5f) * w;
                           d[i] = mid + side;
                           d[i + 1] = mid - side;
                       }
                   }});
    all.push_back({"tremolo",
                   [](int c) { return std::make_unique<TremoloEffect>(kRate, c, 0.5f, 2300.0f); },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<TremoloEffect&>(e);
                       std::vector<float> ph = f.phases;
                       per_channel(d, c, [&](int ch, float x) {
                           const float s = std::sin(ph[ch]);
                           const float g = ((s + 1.0f) * 0.5f) * f.depth + (1.0f - f.depth);
                           ph[ch] = ph[ch] + f.phase_increment;
                           if (ph[ch] >= kTau)
                               ph[ch] -= kTau;
                           return g * x;
                       });
                   }});
    // Far into a long buffer the auto-pan's angle takes the long argument reduction.
    for (std::uint64_t start : {std::uint64_t{0}, std::uint64_t{5000000}}) {
        all.push_back({"auto-pan from frame " + std::to_string(start),
                       [start](int) {
                           auto p = std::make_unique<AutoPanEffect>(kRate, 0.8f, 37.0f);
                           p->frame_counter = start;
                           return p;
                       },
                       [](Effect& e, Buffer& d, int c, unsigned long long) {
                           auto& f = static_cast<AutoPanEffect&>(e);
                           if (c < 2)
                               return;
                           std::uint64_t t = f.frame_counter;
                           for (std::size_t i = 0; i < d.size(); i += c, ++t) {
                               const float phase =
                                   (static_cast<float>(t) / f.sample_rate) * (f.rate_hz * kTau);
                               const float a = (1.0f + std::sin(phase) * f.depth) * 0.7853982f;
                               d[i] = d[i] * std::cos(a);
                               d[i + 1] = d[i + 1] * std::sin(a);
                           }
                       }});
    }
    all.push_back({"rotary speaker",
                   [](int c) {
                       return std::make_unique<RotarySpeakerEffect>(kRate, 700.0f, 0.8f, 0.9f,
                                                                    13.0f, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<RotarySpeakerEffect&>(e);
                       std::vector<BiquadState> z = f.crossover_state;
                       float horn = f.horn_phase;
                       float drum = f.drum_phase;
                       const auto advance = [](float ph, float inc) {
                           ph += inc;
                           if (ph >= kTau) {
                               ph -= kTau;
                               if (ph >= kTau)
                                   ph = std::fmod(ph, kTau);
                           }
                           return ph;
                       };
                       for (std::size_t i = 0; i < d.size(); i += c) {
                           const float a = (1.0f + std::sin(horn) * f.depth) * 0.7853982f;
                           const float left = std::cos(a);
                           const float right = std::sin(a);
                           const float horn_gain = 0.22f * std::sin(1.5707964f + horn) + 0.78f;
                           const float drum_gain = 0.9f + std::sin(drum) * 0.1f;
                           const float centre = (left + right) * 0.5f * horn_gain;
                           for (int k = 0; k < c; ++k) {
                               const float x = d[i + k];
                               const float low = run_biquad(f.crossover, z[k], x);
                               const float high = x - low;
                               float wet;
                               if (c >= 2 && k == 0) {
                                   wet = (left * high) * horn_gain + drum_gain * low;
                               } else if (c >= 2 && k == 1) {
                                   wet = low * drum_gain + (high * right) * horn_gain;
                               } else {
                                   wet = high * centre + drum_gain * low;
                               }
                               d[i + k] = wet * f.mix + (1.0f - f.mix) * x;
                           }
                           horn = advance(horn, f.horn_increment);
                           drum = advance(drum, f.drum_increment);
                       }
                   }});
    for (int stages : {1, 3, 4}) {
        for (FilterKind kind : {FilterKind::lowpass, FilterKind::peak_eq, FilterKind::high_shelf}) {
            all.push_back({"filter kind " + std::to_string(static_cast<int>(kind)) + " stages " +
                               std::to_string(stages),
                           [kind, stages](int c) {
                               return std::make_unique<FilterEffect>(
                                   design_biquad(kind, 1700.0f, 2.5f, 9.0f, 1.0f, kRate), stages,
                                   c);
                           },
                           [](Effect& e, Buffer& d, int c, unsigned long long) {
                               auto& f = static_cast<FilterEffect&>(e);
                               const BiquadCoefficients k{f.b0, f.b1, f.b2, f.a1, f.a2};
                               auto state = f.stage_state;
                               per_channel(d, c, [&](int ch, float x) {
                                   for (BiquadState& s : state[ch])
                                       x = section(k, s, x);
                                   return x;
                               });
                           }});
        }
    }
    all.push_back({"delay",
                   [](int c) { return std::make_unique<DelayEffect>(kRate, c, 7.3f, 0.4f, -0.6f); },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<DelayEffect&>(e);
                       auto lines = f.lines;
                       std::vector<std::uint64_t> pos = f.write_positions;
                       per_channel(d, c, [&](int ch, float x) {
                           DelayLine& line = lines[ch];
                           const float y = line[pos[ch]];
                           const float out = (1.0f - f.mix) * x + f.mix * y;
                           line[pos[ch]] = y * f.feedback + x;
                           if (++pos[ch] == line.size())
                               pos[ch] = 0;
                           return out;
                       });
                   }});
    all.push_back({"compressor",
                   [](int c) {
                       return std::make_unique<CompressorEffect>(-20.0f, 4.0f, 1.0f, 20.0f, 3.0f,
                                                                 kRate, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<CompressorEffect&>(e);
                       std::vector<float> env = f.envelope;
                       const float exponent = 1.0f / f.ratio - 1.0f;
                       per_channel(d, c, [&](int ch, float x) {
                           env[ch] = follow(env[ch], x, f.attack_coeff, f.release_coeff);
                           if (env[ch] > f.threshold && env[ch] > 0.0f) {
                               x = x * std::pow(env[ch] / f.threshold, exponent);
                           }
                           return x * f.makeup;
                       });
                   }});
    all.push_back({"upward compression",
                   [](int c) {
                       return std::make_unique<UpwardCompressorEffect>(-30.0f, 2.0f, 2.0f, 30.0f,
                                                                       18.0f, kRate, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<UpwardCompressorEffect&>(e);
                       std::vector<float> env = f.envelope;
                       const float exponent = (f.ratio - 1.0f) / f.ratio;
                       per_channel(d, c, [&](int ch, float x) {
                           env[ch] = follow(env[ch], x, f.attack_coeff, f.release_coeff);
                           const float v = env[ch];
                           if (v > 0.0f && v < f.threshold) {
                               const float floored = v < 0.000001f ? 0.000001f : v;
                               const float g = std::pow(f.threshold / floored, exponent);
                               x = x * (f.max_gain < g ? f.max_gain : g);
                           }
                           return x;
                       });
                   }});
    all.push_back(
        {"limiter",
         [](int c) { return std::make_unique<LimiterEffect>(-6.0f, 0.5f, 20.0f, kRate, c); },
         [](Effect& e, Buffer& d, int c, unsigned long long) {
             auto& f = static_cast<LimiterEffect&>(e);
             std::vector<float> gain = f.gain;
             per_channel(d, c, [&](int ch, float x) {
                 const float a = std::fabs(x);
                 const float t = (a > f.ceiling && a > 0.0f) ? f.ceiling / a : 1.0f;
                 const float k = gain[ch] > t ? f.attack_coeff : f.release_coeff;
                 gain[ch] = t * (1.0f - k) + gain[ch] * k;
                 float y = x * gain[ch];
                 if (y < -f.ceiling)
                     y = -f.ceiling;
                 if (f.ceiling < y)
                     y = f.ceiling;
                 return y;
             });
         }});
    all.push_back({"expander",
                   [](int c) {
                       return std::make_unique<ExpanderEffect>(-25.0f, 3.0f, 1.0f, 30.0f, 2.0f,
                                                               kRate, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<ExpanderEffect&>(e);
                       std::vector<float> env = f.envelope;
                       per_channel(d, c, [&](int ch, float x) {
                           env[ch] = follow(env[ch], x, f.attack_coeff, f.release_coeff);
                           if (env[ch] < f.threshold && env[ch] > 0.0f) {
                               x = x * std::pow(env[ch] / f.threshold, f.ratio - 1.0f);
                           }
                           return x * f.makeup;
                       });
                   }});
    all.push_back({"noise gate",
                   [](int c) {
                       return std::make_unique<NoiseGateEffect>(-30.0f, -60.0f, 1.0f, 15.0f, kRate,
                                                                c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<NoiseGateEffect&>(e);
                       std::vector<float> env = f.envelope;
                       std::vector<float> gain = f.gain;
                       per_channel(d, c, [&](int ch, float x) {
                           env[ch] = follow(env[ch], x, f.attack_coeff, f.release_coeff);
                           const float t = env[ch] >= f.threshold ? 1.0f : f.floor_gain;
                           const float k = t > gain[ch] ? f.attack_coeff : f.release_coeff;
                           gain[ch] = (1.0f - k) * t + k * gain[ch];
                           return gain[ch] * x;
                       });
                   }});
    all.push_back({"deesser",
                   [](int c) {
                       return std::make_unique<DeEsserEffect>(kRate, 0.8f, 40.0f, 1.0f, 4.0f,
                                                              -30.0f, 5000.0f, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long) {
                       auto& f = static_cast<DeEsserEffect&>(e);
                       std::vector<BiquadState> state = f.detector_state;
                       std::vector<float> env = f.envelope;
                       const float exponent = 1.0f / f.ratio - 1.0f;
                       per_channel(d, c, [&](int ch, float x) {
                           env[ch] = follow(env[ch], section(f.detector, state[ch], x),
                                            f.attack_coeff, f.release_coeff);
                           float reduction = 0.0f;
                           if (env[ch] > f.threshold && env[ch] > 0.0f) {
                               reduction = 1.0f - std::pow(env[ch] / f.threshold, exponent);
                           }
                           return (1.0f - reduction * f.amount) * x;
                       });
                   }});
    all.push_back(
        {"transient shaper",
         [](int c) {
             return std::make_unique<TransientShaperEffect>(kRate, 60.0f, 9.0f, 0.4f, 1.2f, c);
         },
         [](Effect& e, Buffer& d, int c, unsigned long long) {
             auto& f = static_cast<TransientShaperEffect&>(e);
             std::vector<float> fast = f.fast_envelope;
             std::vector<float> slow = f.slow_envelope;
             per_channel(d, c, [&](int ch, float x) {
                 fast[ch] = follow(fast[ch], x, f.fast_attack_coeff, f.fast_release_coeff);
                 slow[ch] = follow(slow[ch], x, f.attack_coeff, f.release_coeff);
                 const float floor = fast[ch] < 0.000001f ? 0.000001f : fast[ch];
                 const float k = (fast[ch] - slow[ch]) / floor;
                 const float onset = k < 0.0f ? 0.0f : k;
                 const float decay = 0.0f < k ? 0.0f : k;
                 float g = (f.attack * onset + 1.0f) - f.sustain * decay;
                 if (g < 0.15f)
                     g = 0.15f;
                 if (4.0f < g)
                     g = 4.0f;
                 return g * x;
             });
         }});
    all.push_back({"dynamic eq",
                   [](int c) {
                       return std::make_unique<DynamicEQEffect>(kRate, 30.0f, 2.0f, 1.5f, -9.0f,
                                                                -30.0f, 2500.0f, c);
                   },
                   [](Effect& e, Buffer& d, int c, unsigned long long block) {
                       auto& f = static_cast<DynamicEQEffect&>(e);
                       const unsigned long long frames = d.size() / c;
                       const float floor = f.threshold < 0.000001f ? 0.000001f : f.threshold;
                       for (int ch = 0; ch < c; ++ch) {
                           BiquadState det = f.detector_state[ch];
                           BiquadState eq = f.eq_state[ch];
                           float env = f.envelope[ch];
                           for (unsigned long long start = 0; start < frames; start += block) {
                               const unsigned long long end =
                                   start + block < frames ? start + block : frames;
                               for (unsigned long long i = start; i < end; ++i) {
                                   env = follow(env, section(f.detector, det, d[i * c + ch]),
                                                f.attack_coeff, f.release_coeff);
                               }
                               float gain_db = 0.0f;
                               if (env > f.threshold) {
                                   float excess = (env - f.threshold) / floor;
                                   if (1.0f < excess)
                                       excess = 1.0f;
                                   gain_db = f.cut_db * excess;
                               }
                               const BiquadCoefficients band =
                                   design_biquad(FilterKind::peak_eq, f.frequency_hz, f.q, gain_db,
                                                 1.0f, f.sample_rate);
                               for (unsigned long long i = start; i < end; ++i) {
                                   d[i * c + ch] = section(band, eq, d[i * c + ch]);
                               }
                           }
                       }
                   }});
    // Chorus, flanger and vibrato settings, a negative depth, mix and feedback at their ends,
    // a sweep that the one-sample floor cuts off, and a NaN rate whose sweep is all floor.
    struct SweptSetting {
        const char* name;
        float delay_ms, depth_ms, rate_hz, mix, feedback;
        bool wet_only;
    };
    const SweptSetting swept[] = {
        {"chorus", 4.0f, 3.0f, 7.0f, 0.45f, 0.5f, false},
        {"vibrato", 4.0f, 3.0f, 7.0f, 0.45f, 0.5f, true},
        {"flanger", 2.5f, 1.8f, 0.25f, 0.45f, 0.35f, false},
        {"chorus, negative depth", 18.0f, -7.5f, 0.9f, 0.35f, 0.12f, false},
        {"chorus, mix 0, feedback 1", 1.0f, 0.5f, 40.0f, 0.0f, 1.0f, false},
        {"chorus, mix 1, feedback -1", 0.5f, 2.0f, 3.0f, 1.0f, -1.0f, false},
        {"vibrato, feedback -1", 1.0f, 1.0f, 5.0f, 0.3f, -1.0f, true},
        {"chorus, sweep below one sample", 0.001f, -0.05f, 90.0f, 0.6f, 0.9f, false},
        {"chorus, NaN rate", 3.0f, 1.0f, std::numeric_limits<float>::quiet_NaN(), 0.5f, 0.5f,
         false},
    };
    for (const SweptSetting& m : swept) {
        all.push_back(
            {m.name,
             [m](int c) {
                 return std::make_unique<ModulatedDelayEffect>(kRate, c, m.delay_ms, m.depth_ms,
                                                               m.rate_hz, m.mix, m.feedback,
                                                               m.wet_only, 1.5707964f);
             },
             [](Effect& e, Buffer& d, int c, unsigned long long) { swept_reference(e, d, c); }});
    }
    // At 400 Hz the line is 9 samples, shorter than the chunks the sweep is worked out in:
    // the write index wraps several times in each.
    all.push_back(
        {"chorus, a line shorter than a chunk",
         [](int c) {
             return std::make_unique<ModulatedDelayEffect>(400.0f, c, 2.0f, 6.0f, 3.0f, 0.5f, 0.6f,
                                                           false, 1.5707964f);
         },
         [](Effect& e, Buffer& d, int c, unsigned long long) { swept_reference(e, d, c); }});
    // A fractional echo time, mix and feedback at their ends, and the shortest line, which
    // wraps on nearly every read.
    struct PingPongSetting {
        float delay_ms, mix, feedback;
    };
    const PingPongSetting ping_pongs[] = {
        {7.3f, 0.3f, 0.55f},
        {2.0f, 0.0f, 1.0f},
        {1.1f, 1.0f, -1.0f},
        {0.001f, 0.5f, 0.9f},
    };
    for (const PingPongSetting& p : ping_pongs) {
        all.push_back({"ping-pong delay " + std::to_string(p.delay_ms) + " ms, feedback " +
                           std::to_string(p.feedback),
                       [p](int c) {
                           return std::make_unique<PingPongDelayEffect>(kRate, c, p.delay_ms, p.mix,
                                                                        p.feedback);
                       },
                       [](Effect& e, Buffer& d, int c, unsigned long long) {
                           ping_pong_reference(e, d, c);
                       }});
    }
    // Stage counts on and off the specialised paths, feedback and mix at their ends, and
    // sweeps held at either clamp of the break frequency.
    struct PhaserSetting {
        int stages;
        float mix, feedback, center_hz, depth, rate_hz;
    };
    const PhaserSetting phasers[] = {
        {4, 0.5f, 0.2f, 900.0f, 0.75f, 0.35f}, {5, 0.6f, 0.4f, 700.0f, 0.9f, 3.0f},
        {1, 1.0f, -1.0f, 900.0f, 1.0f, 7.0f},  {8, 0.0f, 1.0f, 2000.0f, 0.5f, 0.01f},
        {4, 1.0f, 1.0f, 80.0f, 0.0f, 1.0f},    {4, 0.25f, -1.0f, 30000.0f, 1.0f, 5.0f},
        {2, 0.5f, 0.0f, 100.0f, 1.0f, 40.0f},
    };
    for (const PhaserSetting& p : phasers) {
        all.push_back(
            {"phaser, " + std::to_string(p.stages) + " stages, feedback " +
                 std::to_string(p.feedback),
             [p](int c) {
                 return std::make_unique<PhaserEffect>(kRate, p.stages, p.mix, p.feedback,
                                                       p.center_hz, p.depth, p.rate_hz, c);
             },
             [](Effect& e, Buffer& d, int c, unsigned long long) { phaser_reference(e, d, c); }});
    }
    return all;
}

}  // namespace

int main() {
    int failures = 0;
    int checks = 0;
    const unsigned long long frames = 3001;
    for (const Case& c : cases()) {
        for (int channels : {1, 2, 3, 8}) {
            const Buffer input =
                make_input(frames, channels, 17u + static_cast<unsigned>(channels));
            for (unsigned long long block : {1ULL, 7ULL, 2048ULL}) {
                EffectPtr fresh = c.build(channels);
                Buffer expected = input;
                c.reference(*fresh, expected, channels, block);
                for (unsigned int workers : {1U, 2U, 3U}) {
                    EffectPtr effect = c.build(channels);
                    Buffer got = input;
                    effect->process(got.data(), frames, channels, block, workers);
                    ++checks;
                    if (!same_samples(got.data(), expected.data(), got.size())) {
                        std::printf("FAILED: %s, %d channels, block %llu, workers %u\n",
                                    c.name.c_str(), channels, block, workers);
                        ++failures;
                    }
                }
            }
        }
    }
    // The phaser carries its sweep and chains from one call to the next: two calls on the
    // halves of a buffer give what the reference gives for the whole, and leave the same state.
    for (int channels : {1, 2, 3}) {
        for (int stages : {1, 4, 6}) {
            const Buffer input = make_input(frames, channels, 5u + static_cast<unsigned>(stages));
            PhaserEffect reference(kRate, stages, 0.7f, 0.6f, 500.0f, 0.8f, 2.0f, channels);
            Buffer expected = input;
            phaser_reference(reference, expected, channels);
            PhaserEffect effect(kRate, stages, 0.7f, 0.6f, 500.0f, 0.8f, 2.0f, channels);
            Buffer got = input;
            const unsigned long long first = 1237;
            effect.process(got.data(), first, channels, 2048, 1);
            effect.process(got.data() + first * channels, frames - first, channels, 2048, 1);
            ++checks;
            bool same =
                same_samples(got.data(), expected.data(), got.size()) &&
                effect.frame_counter == reference.frame_counter &&
                same_samples(effect.feedback_memory.data(), reference.feedback_memory.data(),
                             static_cast<std::size_t>(channels));
            for (int k = 0; k < channels; ++k) {
                for (int j = 0; j < stages; ++j) {
                    const auto& a = effect.allpass_state[k][j];
                    const auto& b = reference.allpass_state[k][j];
                    same = same && same_samples(&a.x1, &b.x1, 1) && same_samples(&a.y1, &b.y1, 1);
                }
            }
            if (!same) {
                std::printf("FAILED: phaser in two calls, %d channels, %d stages\n", channels,
                            stages);
                ++failures;
            }
        }
    }
    // The swept delay carries its lines, write index and sweep from one call to the next, here
    // also from a frame count that crosses 2^31 within the call.
    for (int channels : {1, 2, 3}) {
        const Buffer input = make_input(frames, channels, 9u + static_cast<unsigned>(channels));
        const std::uint64_t start = channels == 2 ? (std::uint64_t{1} << 31) - 2000 : 0;
        ModulatedDelayEffect reference(kRate, channels, 2.5f, 1.8f, 0.25f, 0.45f, 0.35f, false,
                                       1.5707964f);
        reference.frame_counter = start;
        Buffer expected = input;
        swept_reference(reference, expected, channels);
        ModulatedDelayEffect effect(kRate, channels, 2.5f, 1.8f, 0.25f, 0.45f, 0.35f, false,
                                    1.5707964f);
        effect.frame_counter = start;
        Buffer got = input;
        const unsigned long long first = 1237;
        effect.process(got.data(), first, channels, 7, 1);
        effect.process(got.data() + first * channels, frames - first, channels, 2048, 1);
        ++checks;
        bool same = same_samples(got.data(), expected.data(), got.size()) &&
                    effect.frame_counter == reference.frame_counter &&
                    effect.write_pos == reference.write_pos;
        for (int k = 0; k < channels; ++k) {
            same = same && same_samples(effect.lines[k].data(), reference.lines[k].data(),
                                        effect.lines[k].size());
        }
        if (!same) {
            std::printf("FAILED: swept delay in two calls, %d channels\n", channels);
            ++failures;
        }
    }
    // Calls of up to seven frames run the swept delay's frames one at a time; one call runs
    // them eight at a time where it can. Both give the same bits, NaNs of two payloads and
    // infinities in the signal included (a group that reads a NaN goes one frame at a time).
    for (int channels : {1, 2}) {
        Buffer input = make_input(frames, channels, 23u + static_cast<unsigned>(channels));
        const std::uint32_t specials[] = {0x7fc00001u, 0xffc00000u, 0x7f800000u, 0xff800000u};
        for (std::size_t i = 0; i < input.size(); i += 211) {
            std::memcpy(&input[i], &specials[(i / 211) % 4], sizeof(float));
        }
        for (const float delay_ms : {18.0f, 0.1f}) {
            ModulatedDelayEffect whole(kRate, channels, delay_ms, 7.5f, 0.9f, 0.35f, 0.6f, false,
                                       1.5707964f);
            ModulatedDelayEffect pieces(kRate, channels, delay_ms, 7.5f, 0.9f, 0.35f, 0.6f, false,
                                        1.5707964f);
            Buffer expected = input;
            whole.process(expected.data(), frames, channels, 2048, 1);
            Buffer got = input;
            for (unsigned long long at = 0; at < frames;) {
                const unsigned long long take =
                    std::min<unsigned long long>(1 + at % 7, frames - at);
                pieces.process(got.data() + at * channels, take, channels, 2048, 1);
                at += take;
            }
            ++checks;
            if (!same_samples(got.data(), expected.data(), got.size())) {
                std::printf("FAILED: swept delay %.1f ms in short calls, %d channels\n",
                            static_cast<double>(delay_ms), channels);
                ++failures;
            }
        }
    }
    std::printf("%d of %d comparisons differ\n", failures, checks);
    return failures == 0 ? 0 : 1;
}
