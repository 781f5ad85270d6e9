// The engine's stream: the block borders a whole-block effect sees, what each run releases,
// and a run that fails part-way.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/effect.hpp"
#include "engine/effect_plan.hpp"
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
                data[i * static_cast<unsigned long long>(channels) +
                     static_cast<unsigned long long>(ch)] += static_cast<float>(frame);
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

// A plan whose build hands over the given effects, one per planned effect.
kavri::EffectPlan plan_of(kavri::EffectList effects) {
    auto shared = std::make_shared<std::vector<kavri::EffectPtr>>();
    for (kavri::EffectPtr& effect : effects) {
        shared->push_back(std::move(effect));
    }
    kavri::EffectPlan plan;
    for (std::size_t k = 0; k < shared->size(); ++k) {
        plan.push_back({kavri::EffectMemory{}, [shared, k] { return std::move((*shared)[k]); }});
    }
    return plan;
}

// Pushes chunks of the given sizes (2 channels, sample = frame number), then the end, and
// returns every released sample.
std::vector<float> stream_chunks(kavri::Stream& stream,
                                 const std::vector<unsigned long long>& sizes,
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
        const unsigned long long out_frames =
            end ? stream.held_frames() : stream.released_by(frames);
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
        // Samples i and i + 1 are the two channels of frame i / 2.
        const float pair = static_cast<float>(i / 2);  // NOLINT(bugprone-integer-division)
        in_order = out[i] == 5.0f * pair;
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
    std::vector<float> chunk(std::size_t{2} * 8, 0.0f);
    std::vector<float> out(std::size_t{2} * 8);
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
    // A new chain drops what was held and starts over at frame 0.
    std::vector<unsigned long long> fresh_first, fresh_second;
    stream.rebuild(plan_of(chain(&fresh_first, &fresh_second)));
    CHECK(!stream.needs_reset() && stream.held_frames() == 0);
    std::vector<unsigned long long> released;
    const std::vector<float> again = stream_chunks(stream, {5}, &released);
    CHECK((released == std::vector<unsigned long long>{4, 1}));
    CHECK(again.size() == 10 && again[0] == 0.0f && again[9] == 20.0f);
}

// Records the order in which effects are built and destroyed.
std::string events;

struct Marker final : kavri::Effect {
    char name;
    explicit Marker(char n) : name(n) { events += name; }
    ~Marker() override { events += static_cast<char>(name - 'a' + 'A'); }
    void process(float*, unsigned long long, int, unsigned long long, unsigned int) override {}
    bool needs_whole_blocks() const override { return name == 'b' || name == 'd'; }
};

kavri::EffectPlan markers(const char* names, bool fail_last = false) {
    kavri::EffectPlan plan;
    for (const char* c = names; *c != '\0'; ++c) {
        const char name = *c;
        const bool fail = fail_last && c[1] == '\0';
        plan.push_back({kavri::EffectMemory{}, [name, fail]() -> kavri::EffectPtr {
                            if (fail) {
                                throw std::bad_alloc();
                            }
                            return std::make_unique<Marker>(name);
                        }});
    }
    return plan;
}

// A new chain is built only once the old one is gone, so that the two never hold memory
// together; a build that fails leaves no chain, which refuses audio.
void test_rebuild_frees_the_old_chain_first() {
    events.clear();
    kavri::Stream stream(2, 4, 1);
    CHECK(!stream.has_chain());
    stream.rebuild(markers("ab"));
    std::vector<float> chunk(std::size_t{2} * 6, 0.0f), out(std::size_t{2} * 6);
    stream.load(chunk.data(), 6, out.data());
    stream.run();
    CHECK(stream.held_frames() == 2);
    stream.rebuild(markers("cd"));
    CHECK(events == "abABcd");
    CHECK(stream.has_chain() && stream.held_frames() == 0);
    bool failed = false;
    try {
        stream.rebuild(markers("xy", true));
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    CHECK(failed && events == "abABcdCDxX");
    CHECK(!stream.has_chain());
    bool refused = false;
    try {
        stream.load(chunk.data(), 6, out.data());
    } catch (const std::logic_error&) {
        refused = true;
    }
    CHECK(refused);
    stream.rebuild(markers("a"));
    CHECK(stream.has_chain() && !stream.needs_reset());
    events.clear();
}

}  // namespace

// Every allocation of this test program is counted, so that what a stream's run really takes
// can be compared with what it said it would take.
namespace {
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;
bool counting = false;
}  // namespace

void* operator new(std::size_t size) {
    void* p = std::malloc(size + 16);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(p) = size;
    if (counting) {
        live_bytes += size;
        peak_bytes = std::max(peak_bytes, live_bytes);
    }
    return static_cast<char*>(p) + 16;
}

namespace {
void release_counted(void* p) noexcept {
    if (p == nullptr) {
        return;
    }
    void* block = static_cast<char*>(p) - 16;
    const std::size_t size = *static_cast<std::size_t*>(block);
    if (counting) {
        live_bytes -= std::min(live_bytes, size);
    }
    std::free(block);
}
}  // namespace

void operator delete(void* p) noexcept {
    release_counted(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release_counted(p);
}

namespace {

// The peak of what load() and run() allocate for one chunk (or the end), beside the caller's
// buffers.
std::size_t run_peak(kavri::Stream& stream, std::vector<float>* chunk, float* out) {
    live_bytes = peak_bytes = 0;
    counting = true;
    if (chunk != nullptr) {
        stream.load(chunk->data(), chunk->size() / 2, out);
    } else {
        stream.load_end(out);
    }
    stream.run();
    counting = false;
    return peak_bytes;
}

// What a run allocates is what it said it would: held buffers grow by pieces of a long chunk,
// not by the chunk, and a chain that holds nothing allocates nothing of its own.
void test_runs_take_what_they_counted() {
    for (const bool holding : {true, false}) {
        std::vector<unsigned long long> first, second;
        kavri::EffectList effects;
        effects.push_back(std::make_unique<Probe>(false, nullptr));
        if (holding) {
            effects.push_back(std::make_unique<Probe>(true, &first));
            effects.push_back(std::make_unique<Probe>(true, &second));
        }
        kavri::Stream stream(std::move(effects), 2, 1000, 1);
        std::vector<float> out;
        for (const unsigned long long frames :
             {3ULL, 700ULL, 1ULL << 21, 5000ULL, 1ULL << 20, 10ULL}) {
            std::vector<float> chunk(2 * frames, 0.25f);
            const kavri::Stream::RunMemory counted = stream.chunk_memory(frames);
            out.assign(2 * stream.released_by(frames), 0.0f);
            const std::size_t peak = run_peak(stream, &chunk, out.data());
            if (peak > counted.held.bytes()) {
                std::printf("holding %d frames %llu peak %zu counted %llu\n", holding, frames, peak,
                            (unsigned long long)counted.held.bytes());
            }
            CHECK(peak <= counted.held.bytes());
            CHECK(counted.output.bytes() >= out.size() * sizeof(float));
            // Two stages, each at most a piece (2^20 samples) and a block or two.
            CHECK(counted.held.bytes() <= (holding ? 2 * (5 << 20) : 0));
        }
        const kavri::Stream::RunMemory end = stream.end_memory();
        out.assign(2 * stream.held_frames(), 0.0f);
        CHECK(run_peak(stream, nullptr, out.data()) <= end.held.bytes());
    }
    // Only frame-holding effects keep anything between runs, a block each.
    CHECK(kavri::Stream::held_bytes_between_runs(0, 2, 1ULL << 34).bytes() == 0);
    CHECK(kavri::Stream::held_bytes_between_runs(2, 2, 1ULL << 34).bytes() ==
          2 * kavri::heap_array_bytes(1ULL << 35, sizeof(float)).bytes());
}
}  // namespace

int main() {
    test_whole_blocks_from_the_first_frame();
    test_a_failed_run_needs_a_reset();
    test_rebuild_frees_the_old_chain_first();
    test_runs_take_what_they_counted();
    if (failures != 0) {
        std::printf("%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("stream: all checks passed\n");
    return 0;
}
