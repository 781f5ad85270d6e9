// The engine's stream: the block borders a whole-block effect sees, what each run releases,
// and a run that fails part-way.
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/effect.hpp"
#include "engine/stream.hpp"

namespace {

int failures = 0;

void check(bool condition, const char* what, int line) {
    if (!condition) {
        std::printf("FAILED line %d: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

// Adds its running frame number to every sample, so its output shows whether it saw every
// frame once and in order; a whole-block probe also records each call's frame count.
struct Probe final : kavri::Effect {
    bool whole_blocks;
    std::vector<unsigned long long>* calls;
    int fail_on_call;
    unsigned long long frame = 0;
    int call = 0;

    Probe(bool whole, std::vector<unsigned long long>* log, int fail = -1)
        : whole_blocks(whole), calls(log), fail_on_call(fail) {}

    void process(float* data, unsigned long long frames, int channels, unsigned long long,
                 unsigned int) override {
        if (call++ == fail_on_call) {
            throw std::bad_alloc();
        }
        if (calls != nullptr) {
            calls->push_back(frames);
        }
        for (unsigned long long i = 0; i < frames; ++i, ++frame) {
            for (int ch = 0; ch < channels; ++ch) {
                data[i * static_cast<unsigned long long>(channels) + static_cast<unsigned long long>(ch)] +=
                    static_cast<float>(frame);
            }
        }
    }
    bool needs_whole_blocks() const override { return whole_blocks; }
};

kavri::EffectList chain(std::vector<unsigned long long>* first_log,
                        std::vector<unsigned long long>* second_log, int fail = -1) {
    kavri::EffectList effects;
    effects.push_back(std::make_unique<Probe>(false, nullptr));
    effects.push_back(std::make_unique<Probe>(true, first_log, fail));
    effects.push_back(std::make_unique<Probe>(false, nullptr));
    effects.push_back(std::make_unique<Probe>(true, second_log));
    effects.push_back(std::make_unique<Probe>(false, nullptr));
    return effects;
}

// Pushes chunks of the given sizes (2 channels, sample = frame number), then the end, and
// returns every released sample.
std::vector<float> stream_chunks(kavri::Stream& stream, const std::vector<unsigned long long>& sizes,
                                 std::vector<unsigned long long>* released) {
    std::vector<float> all;
    unsigned long long next = 0;
    for (std::size_t k = 0; k <= sizes.size(); ++k) {
        const bool end = k == sizes.size();
        const unsigned long long frames = end ? 0 : sizes[k];
        std::vector<float> chunk;
        for (unsigned long long i = 0; i < frames; ++i, ++next) {
            chunk.push_back(0.0f);
            chunk.push_back(0.0f);
        }
        const unsigned long long out_frames = end ? stream.held_frames() : stream.released_by(frames);
        std::vector<float> out(2 * out_frames);
        if (end) {
            stream.load_end(out.data());
        } else {
            stream.load(chunk.data(), frames, out.data());
        }
        stream.run();
        released->push_back(out_frames);
        all.insert(all.end(), out.begin(), out.end());
    }
    return all;
}

void test_whole_blocks_from_the_first_frame() {
    std::vector<unsigned long long> first, second;
    kavri::Stream stream(chain(&first, &second), 2, 4, 1);
    std::vector<unsigned long long> released;
    const std::vector<float> out = stream_chunks(stream, {3, 0, 1, 6, 1, 2}, &released);
    // 13 frames in blocks of 4: both block effects see 4, 4, 4 and then the last frame at the
    // end, in calls of whole blocks; the frames leave once both have passed them.
    CHECK((first == std::vector<unsigned long long>{4, 4, 4, 1}));
    CHECK((second == std::vector<unsigned long long>{4, 4, 4, 1}));
    CHECK((released == std::vector<unsigned long long>{0, 0, 4, 4, 0, 4, 1}));
    // Five probes added each frame's number once: frame n comes out as 5n on both channels.
    bool in_order = out.size() == 26;
    for (std::size_t i = 0; in_order && i < out.size(); ++i) {
        in_order = out[i] == 5.0f * static_cast<float>(i / 2);
    }
    CHECK(in_order);
    CHECK(stream.needs_reset());
    bool refused = false;
    try {
        stream.load(nullptr, 0, nullptr);
    } catch (const std::logic_error&) {
        refused = true;
    }
    CHECK(refused);
}

void test_a_failed_run_needs_a_reset() {
    std::vector<unsigned long long> first, second;
    // The first block effect fails on its second call.
    kavri::Stream stream(chain(&first, &second, 1), 2, 4, 1);
    std::vector<float> chunk(2 * 8, 0.0f);
    std::vector<float> out(2 * 8);
    stream.load(chunk.data(), 4, out.data());
    stream.run();
    CHECK(!stream.needs_reset());
    stream.load(chunk.data(), 4, out.data());
    bool threw = false;
    try {
        stream.run();
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    CHECK(threw && stream.needs_reset());
    // A reset with a fresh chain drops what was held and starts over at frame 0.
    std::vector<unsigned long long> fresh_first, fresh_second;
    stream.reset(chain(&fresh_first, &fresh_second));
    CHECK(!stream.needs_reset() && stream.held_frames() == 0);
    std::vector<unsigned long long> released;
    const std::vector<float> again = stream_chunks(stream, {5}, &released);
    CHECK((released == std::vector<unsigned long long>{4, 1}));
    CHECK(again.size() == 10 && again[0] == 0.0f && again[9] == 20.0f);
}

}  // namespace

int main() {
    test_whole_blocks_from_the_first_frame();
    test_a_failed_run_needs_a_reset();
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("stream: all checks passed\n");
    return 0;
}
