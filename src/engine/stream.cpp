#include "engine/stream.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kavri {

namespace {

// A chain with stages takes a chunk a piece of about this many samples at a time: long
// enough that every effect call still works on a long run of frames, short enough that the
// held buffers, which take each piece in, stay small beside a long chunk. A stream given
// several workers takes pieces long enough for them all to pay (useful_workers).
constexpr std::size_t kPieceSamples = std::size_t{1} << 20;

// What a held buffer grows to when it must grow: what it needs, and at least twice what it
// had, up to the room it may keep between runs, so that short chunks do not move it each time.
std::size_t grown_capacity(std::size_t capacity, std::size_t needed, std::size_t kept) {
    return std::max(needed, std::min(2 * capacity, kept));
}

}  // namespace

Stream::Stream(EffectList effects, int channels, unsigned long long block_size,
               unsigned int workers, ByteCount scratch)
    : Stream(channels, block_size, workers) {
    take_chain(std::move(effects), scratch);
}

Stream::Stream(int channels, unsigned long long block_size, unsigned int workers)
    : channels_(channels),
      block_size_(block_size != 0 ? block_size : 1),
      workers_(workers != 0 ? workers : 1) {}

Stream::~Stream() {
    if (pool_ && pool_->forked()) {
        // Its threads are in the parent process; joining them here would never return, so
        // the pool is let go of, not destroyed.
        static_cast<void>(pool_.release());  // NOLINT(bugprone-unused-return-value)
    }
}

ByteCount Stream::held_bytes_between_runs(std::size_t holding, int channels,
                                          unsigned long long block_size) {
    const ByteCount block = ByteCount::product(block_size, static_cast<std::uint64_t>(channels));
    return ByteCount::product(holding, heap_array_bytes(block.bytes(), sizeof(float)).bytes());
}

void Stream::take_chain(EffectList effects, ByteCount scratch) {
    // Planned aside first, so that a failure leaves the stream as it was.
    std::vector<Stage> stages;
    std::vector<Effect*> leading;
    for (EffectPtr& effect : effects) {
        if (effect->needs_whole_blocks()) {
            stages.push_back(Stage{std::move(leading), effect.get(), {}});
            leading.clear();
        } else {
            leading.push_back(effect.get());
        }
    }
    effects_ = std::move(effects);
    stages_.swap(stages);
    trailing_.swap(leading);
    scratch_ = scratch;
    has_chain_ = true;
    needs_reset_ = false;
    loaded_ = false;
    at_end_ = false;
}

void Stream::drop_chain() {
    // The stages point into the effects: they go first, then the effects, first to last.
    stages_.clear();
    stages_.shrink_to_fit();
    trailing_.clear();
    effects_.clear();
    scratch_ = ByteCount(0);
    has_chain_ = false;
    needs_reset_ = false;
    loaded_ = false;
    at_end_ = false;
}

void Stream::rebuild(const EffectPlan& plan) {
    drop_chain();
    EffectList effects;
    plan.build(effects);
    take_chain(std::move(effects), plan.largest_scratch());
}

std::size_t Stream::samples(unsigned long long frames) const {
    return static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
}

unsigned long long Stream::frames_in(const std::vector<float>& buffer) const {
    return buffer.size() / static_cast<std::size_t>(channels_);
}

unsigned long long Stream::piece_frames() const {
    const unsigned int most_workers = useful_workers(channels_, ~0ULL, workers_);
    const unsigned long long piece =
        std::max<unsigned long long>(kPieceSamples, samples_for_workers(most_workers));
    return std::max<unsigned long long>(1, piece / static_cast<unsigned long long>(channels_));
}

std::size_t Stream::kept_samples() const {
    const ByteCount block = ByteCount::product(block_size_, static_cast<std::uint64_t>(channels_));
    return static_cast<std::size_t>(std::min<std::uint64_t>(block.bytes(), ~std::size_t{0} / 2));
}

unsigned long long Stream::released_by(unsigned long long frames) const {
    // However the chunk is cut into pieces, a stage releases the whole blocks of all it has
    // taken in.
    unsigned long long passing = frames;
    for (const Stage& stage : stages_) {
        const unsigned long long entered = frames_in(stage.held) + passing;
        passing = entered - entered % block_size_;
    }
    return passing;
}

unsigned long long Stream::held_frames() const {
    unsigned long long passing = 0;
    for (const Stage& stage : stages_) {
        passing += frames_in(stage.held);
    }
    return passing;
}

// The most frames each stage holds at once while a chunk of `frames` goes through in pieces,
// in samples, worked out from the counts alone as the run will take them.
std::vector<std::size_t> Stream::capacities_for(unsigned long long frames) const {
    std::vector<unsigned long long> held;
    std::vector<std::size_t> most;
    for (const Stage& stage : stages_) {
        held.push_back(frames_in(stage.held));
        most.push_back(stage.held.size());
    }
    const unsigned long long piece = piece_frames();
    for (unsigned long long done = 0; done < frames;) {
        unsigned long long passing = std::min(piece, frames - done);
        done += passing;
        for (std::size_t k = 0; k < held.size(); ++k) {
            const unsigned long long entered = held[k] + passing;
            most[k] = std::max(most[k], samples(entered));
            passing = entered - entered % block_size_;
            held[k] = entered - passing;
        }
    }
    return most;
}

Stream::RunMemory Stream::chunk_memory(unsigned long long frames) const {
    RunMemory memory;
    const ByteCount output_samples =
        ByteCount::product(released_by(frames), static_cast<std::uint64_t>(channels_));
    memory.output = heap_array_bytes(output_samples.bytes(), sizeof(float));
    if (!stages_.empty()) {
        const ByteCount chunk_samples =
            ByteCount::product(frames, static_cast<std::uint64_t>(channels_));
        if (chunk_samples.bytes() > ~std::size_t{0} / sizeof(float)) {
            memory.held = ByteCount(ByteCount::kUnbounded);
            return memory;
        }
        const std::vector<std::size_t> most = capacities_for(frames);
        // The two counts per stage that working this out takes, while load() reserves.
        memory.held += heap_arrays_bytes(2, stages_.size(), sizeof(std::size_t));
        // After the run each stage holds what is left of its last block.
        unsigned long long passing = frames;
        for (std::size_t k = 0; k < stages_.size(); ++k) {
            const std::vector<float>& held = stages_[k].held;
            std::size_t capacity = held.capacity();
            if (most[k] > capacity) {
                capacity = grown_capacity(capacity, most[k], kept_samples());
                memory.held += heap_array_bytes(capacity, sizeof(float));
            }
            const unsigned long long entered = frames_in(held) + passing;
            passing = entered - entered % block_size_;
            if (capacity > kept_samples()) {
                memory.held += heap_array_bytes(samples(entered - passing), sizeof(float));
            }
        }
    }
    if (frames != 0) {
        memory.scratch = scratch_;
    }
    return memory;
}

Stream::RunMemory Stream::end_memory() const {
    RunMemory memory;
    const ByteCount output_samples =
        ByteCount::product(held_frames(), static_cast<std::uint64_t>(channels_));
    memory.output = heap_array_bytes(output_samples.bytes(), sizeof(float));
    // Every stage releases all it holds, and a stage takes in what the one before releases.
    std::size_t passing = 0;
    for (const Stage& stage : stages_) {
        passing += stage.held.size();
        if (passing > stage.held.capacity()) {
            memory.held += heap_array_bytes(passing, sizeof(float));
        }
    }
    if (held_frames() != 0) {
        memory.scratch = scratch_;
    }
    return memory;
}

void Stream::load(const float* chunk, unsigned long long frames, float* out) {
    if (!has_chain_) {
        throw std::logic_error("the stream has no chain");
    }
    if (needs_reset_) {
        throw std::logic_error("the stream must be reset before it takes more audio");
    }
    // Room for what each stage will hold during the run, taken before anything changes.
    if (!stages_.empty()) {
        const std::vector<std::size_t> most = capacities_for(frames);
        for (std::size_t k = 0; k < stages_.size(); ++k) {
            std::vector<float>& held = stages_[k].held;
            if (most[k] > held.capacity()) {
                held.reserve(grown_capacity(held.capacity(), most[k], kept_samples()));
            }
        }
    }
    chunk_ = chunk;
    chunk_frames_ = frames;
    out_ = out;
    at_end_ = false;
    loaded_ = true;
}

void Stream::load_end(float* out) {
    if (!has_chain_) {
        throw std::logic_error("the stream has no chain");
    }
    if (needs_reset_) {
        throw std::logic_error("the stream must be reset before it takes more audio");
    }
    std::size_t passing = 0;
    for (Stage& stage : stages_) {
        passing += stage.held.size();
        stage.held.reserve(passing);
    }
    chunk_ = nullptr;
    chunk_frames_ = 0;
    out_ = out;
    at_end_ = true;
    loaded_ = true;
}

void Stream::start_workers(unsigned long long frames) {
    const unsigned int workers = useful_workers(channels_, frames, workers_);
    if (workers <= 1) {
        return;
    }
    if (pool_ && pool_->forked()) {
        // A forked child's copy of the pool has no threads to join: let it go, start anew.
        static_cast<void>(pool_.release());  // NOLINT(bugprone-unused-return-value)
    }
    if (!pool_) {
        pool_ = std::make_unique<WorkerPool>();
    }
    pool_->reserve_threads(workers - 1);
}

void Stream::run_effect(Effect& effect, float* data, unsigned long long frames) {
    // Each call gets the workers its own length pays for; start_workers has started them.
    const unsigned int workers = useful_workers(channels_, frames, workers_);
    if (workers <= 1) {
        effect.process(data, frames, channels_, block_size_, 1);
        return;
    }
    const UseWorkerPool use(pool_.get());
    effect.process(data, frames, channels_, block_size_, workers);
}

void Stream::run_effects_over(const std::vector<Effect*>& effects, float* data,
                              unsigned long long frames) {
    if (frames == 0) {
        return;
    }
    for (Effect* effect : effects) {
        run_effect(*effect, data, frames);
    }
}

// Takes what stage 0 holds from `first_new` on through every stage, releasing whole blocks
// (or, at the end, everything) to the next, and the last stage's release into `out`. Returns
// the frames written to `out`.
unsigned long long Stream::pass_stages(unsigned long long first_new, bool at_end, float* out) {
    unsigned long long written = 0;
    for (std::size_t k = 0; k < stages_.size(); ++k) {
        Stage& stage = stages_[k];
        const unsigned long long entered = frames_in(stage.held);
        run_effects_over(stage.leading, stage.held.data() + samples(first_new),
                         entered - first_new);
        // Whole blocks counted from the signal's first frame: every earlier run released a
        // multiple of block_size, so the held buffer starts on a block border.
        const unsigned long long released = at_end ? entered : entered - entered % block_size_;
        if (released != 0) {
            run_effect(*stage.block_effect, stage.held.data(), released);
        }
        const auto released_end =
            stage.held.begin() + static_cast<std::ptrdiff_t>(samples(released));
        if (k + 1 < stages_.size()) {
            std::vector<float>& next = stages_[k + 1].held;
            first_new = frames_in(next);
            // The room was reserved by load(), so this neither allocates nor throws.
            next.insert(next.end(), stage.held.begin(), released_end);
        } else {
            std::copy(stage.held.begin(), released_end, out);
            run_effects_over(trailing_, out, released);
            written = released;
        }
        stage.held.erase(stage.held.begin(), released_end);
    }
    return written;
}

void Stream::trim_held() {
    // A long chunk leaves a long buffer behind; what stays held is under a block.
    for (Stage& stage : stages_) {
        if (stage.held.capacity() > kept_samples()) {
            stage.held.shrink_to_fit();
        }
    }
}

void Stream::run_chunk() {
    if (stages_.empty()) {
        if (chunk_frames_ != 0) {
            std::memcpy(out_, chunk_, samples(chunk_frames_) * sizeof(float));
        }
        run_effects_over(trailing_, out_, chunk_frames_);
        return;
    }
    const unsigned long long piece = piece_frames();
    float* out = out_;
    std::vector<float>& first = stages_.front().held;
    for (unsigned long long done = 0; done < chunk_frames_;) {
        const unsigned long long frames = std::min(piece, chunk_frames_ - done);
        const unsigned long long first_new = frames_in(first);
        // The room was reserved by load(): no allocation.
        first.insert(first.end(), chunk_ + samples(done), chunk_ + samples(done + frames));
        done += frames;
        out += samples(pass_stages(first_new, false, out));
    }
    trim_held();
}

void Stream::run_end() {
    if (!stages_.empty()) {
        pass_stages(frames_in(stages_.front().held), true, out_);
    }
    for (Stage& stage : stages_) {
        stage.held.clear();
        stage.held.shrink_to_fit();
    }
}

void Stream::run() {
    if (!loaded_) {
        throw std::logic_error("the stream has no chunk loaded");
    }
    loaded_ = false;
    // No effect call of this run is longer than what is held and what comes in together. The
    // threads it can use start before any effect runs, so that a thread that cannot start
    // fails the run with the stream as it was.
    start_workers(held_frames() + chunk_frames_);
    try {
        if (at_end_) {
            run_end();
        } else {
            run_chunk();
        }
    } catch (...) {
        needs_reset_ = true;
        throw;
    }
    if (at_end_) {
        needs_reset_ = true;
    }
}

}  // namespace kavri
