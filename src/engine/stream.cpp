#include "engine/stream.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace kavri {

namespace {

// Room a stage keeps between runs beyond what it holds, in samples.
constexpr std::size_t kKeptSamples = std::size_t{1} << 16;

}  // namespace

Stream::Stream(EffectList effects, int channels, unsigned long long block_size,
               unsigned int workers)
    : effects_(std::move(effects)),
      channels_(channels),
      block_size_(block_size != 0 ? block_size : 1),
      workers_(workers != 0 ? workers : 1) {
    build_stages();
}

void Stream::build_stages() {
    // Planned aside first, so that a failure leaves the stream's own plan as it was.
    std::vector<Stage> stages;
    std::vector<Effect*> leading;
    for (EffectPtr& effect : effects_) {
        if (effect->needs_whole_blocks()) {
            stages.push_back(Stage{std::move(leading), effect.get(), {}});
            leading.clear();
        } else {
            leading.push_back(effect.get());
        }
    }
    stages_.swap(stages);
    trailing_.swap(leading);
}

std::size_t Stream::samples(unsigned long long frames) const {
    return static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels_);
}

unsigned long long Stream::frames_in(const std::vector<float>& buffer) const {
    return buffer.size() / static_cast<std::size_t>(channels_);
}

unsigned long long Stream::released_by(unsigned long long frames) const {
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

void Stream::load(const float* chunk, unsigned long long frames, float* out) {
    if (needs_reset_) {
        throw std::logic_error("the stream must be reset before it takes more audio");
    }
    // Room for what each stage will hold during the run, taken before anything changes: a
    // stage holds what it kept plus what the stage before it passes on.
    unsigned long long passing = frames;
    for (Stage& stage : stages_) {
        const unsigned long long entered = frames_in(stage.held) + passing;
        stage.held.reserve(samples(entered));
        passing = entered - entered % block_size_;
    }
    if (stages_.empty()) {
        if (frames != 0) {
            std::memcpy(out, chunk, samples(frames) * sizeof(float));
        }
    } else {
        std::vector<float>& held = stages_.front().held;
        first_new_frame_ = frames_in(held);
        held.insert(held.end(), chunk, chunk + samples(frames));
    }
    chunk_frames_ = frames;
    out_ = out;
    at_end_ = false;
    loaded_ = true;
}

void Stream::load_end(float* out) {
    if (needs_reset_) {
        throw std::logic_error("the stream must be reset before it takes more audio");
    }
    // Every stage releases all it holds, and a stage takes in what the one before releases.
    unsigned long long passing = 0;
    for (Stage& stage : stages_) {
        passing += frames_in(stage.held);
        stage.held.reserve(samples(passing));
    }
    first_new_frame_ = stages_.empty() ? 0 : frames_in(stages_.front().held);
    chunk_frames_ = 0;
    out_ = out;
    at_end_ = true;
    loaded_ = true;
}

void Stream::run_effects_over(const std::vector<Effect*>& effects, float* data,
                              unsigned long long frames) const {
    if (frames == 0) {
        return;
    }
    for (Effect* effect : effects) {
        effect->process(data, frames, channels_, block_size_, workers_);
    }
}

void Stream::run() {
    if (!loaded_) {
        throw std::logic_error("the stream has no chunk loaded");
    }
    loaded_ = false;
    try {
        if (stages_.empty()) {
            run_effects_over(trailing_, out_, chunk_frames_);
            return;
        }
        unsigned long long first_new = first_new_frame_;
        for (std::size_t k = 0; k < stages_.size(); ++k) {
            Stage& stage = stages_[k];
            const unsigned long long entered = frames_in(stage.held);
            run_effects_over(stage.leading, stage.held.data() + samples(first_new),
                             entered - first_new);
            // Whole blocks counted from the signal's first frame: every earlier run released a
            // multiple of block_size, so the held buffer starts on a block border.
            const unsigned long long released = at_end_ ? entered : entered - entered % block_size_;
            if (released != 0) {
                stage.block_effect->process(stage.held.data(), released, channels_, block_size_,
                                            workers_);
            }
            const auto released_end = stage.held.begin() + static_cast<std::ptrdiff_t>(samples(released));
            if (k + 1 < stages_.size()) {
                std::vector<float>& next = stages_[k + 1].held;
                first_new = frames_in(next);
                // The room was reserved by load(), so this neither allocates nor throws.
                next.insert(next.end(), stage.held.begin(), released_end);
            } else {
                std::copy(stage.held.begin(), released_end, out_);
                run_effects_over(trailing_, out_, released);
            }
            stage.held.erase(stage.held.begin(), released_end);
            // A long chunk leaves a long buffer behind; what stays held is under a block.
            if (stage.held.capacity() > kKeptSamples && stage.held.capacity() > 2 * stage.held.size()) {
                stage.held.shrink_to_fit();
            }
        }
    } catch (...) {
        needs_reset_ = true;
        throw;
    }
    if (at_end_) {
        needs_reset_ = true;
    }
}

void Stream::reset(EffectList fresh) {
    // The new effects are planned while the old plan still stands; if that fails, the fresh
    // effects are dropped and the stream is left as it was.
    std::swap(effects_, fresh);
    try {
        build_stages();
    } catch (...) {
        std::swap(effects_, fresh);
        throw;
    }
    loaded_ = false;
    at_end_ = false;
    needs_reset_ = false;
}

}  // namespace kavri
