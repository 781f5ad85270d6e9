// The effect interface and the effect list that one pipeline call builds and runs.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "engine/batch/lane_params.hpp"

namespace kavri {

// An audio effect. It is built with its parameters already read and derived, then asked to
// process interleaved buffers (sample ch of frame i at data[i * channels + ch]) in place:
// the whole buffer in one call, or a stream's consecutive chunks in one call each, all its
// running state carried from each call to the next. `channels` always equals the count the
// effect was built for, `block_size` and `workers` are at least 1 and `frames` may be 0.
class Effect {
public:
    Effect() = default;
    Effect(const Effect&) = delete;
    Effect& operator=(const Effect&) = delete;
    virtual ~Effect() = default;

    virtual void process(float* data, unsigned long long frames, int channels,
                         unsigned long long block_size, unsigned int workers) = 0;

    // True when the output depends on where the blocks begin, not only on the samples, so
    // that a run split over several process() calls must hand it whole blocks to match one
    // call over the whole buffer. Every other effect carries all its state from one call to
    // the next and gives the same output however the buffer is split.
    virtual bool needs_whole_blocks() const { return false; }

    // As process, reading the samples from `source` (same shape, never written) and writing
    // the results to `data`, for an effect that runs first: a memoryless effect does it in
    // one pass instead of a copy and a pass. Returns false, touching nothing, for an effect
    // that does not; the caller then copies and calls process.
    virtual bool process_from(const float* /*source*/, float* /*data*/,
                              unsigned long long /*frames*/, int /*channels*/,
                              unsigned long long /*block_size*/, unsigned int /*workers*/) {
        return false;
    }

    // For an effect whose channels the batch engine can run in vector lanes: fills `out`
    // with channel `channel`'s recurrence and coefficients, exactly as process() uses them,
    // and returns true. Every other effect returns false and runs item by item.
    virtual bool lane_params(int /*channel*/, LaneParams& /*out*/) { return false; }
};

using EffectPtr = std::unique_ptr<Effect>;

// The ordered, owning list of a call's effects. Effects are destroyed first to last, both
// when the list is cleared and when it goes out of scope during unwinding.
class EffectList {
public:
    EffectList() = default;
    EffectList(const EffectList&) = delete;
    EffectList& operator=(const EffectList&) = delete;
    EffectList(EffectList&& other) noexcept = default;
    // The effects held before are destroyed first to last, then the other list's are taken.
    EffectList& operator=(EffectList&& other) noexcept {
        if (this != &other) {
            clear();
            effects_ = std::move(other.effects_);
        }
        return *this;
    }
    ~EffectList() { clear(); }

    void reserve(std::size_t count) { effects_.reserve(count); }
    void push_back(EffectPtr effect) { effects_.push_back(std::move(effect)); }
    std::size_t size() const { return effects_.size(); }

    void clear() {
        for (EffectPtr& effect : effects_) {
            effect.reset();
        }
        effects_.clear();
    }

    auto begin() { return effects_.begin(); }
    auto end() { return effects_.end(); }

private:
    std::vector<EffectPtr> effects_;
};

// Runs every effect over the buffer in list order, each seeing what the previous one wrote.
// A worker count of 0 means 1. Touches nothing but the buffer and the effects, so the binding
// layer calls it with the interpreter lock released. An exception from an effect stops the
// run; the later effects do not run.
void run_effects(EffectList& effects, float* data, unsigned long long frames, int channels,
                 unsigned long long block_size, unsigned int workers);

// As run_effects on a copy of `source` in `data`: the first effect reads source and writes
// data itself where it can (process_from), else source is copied into data first. source is
// only read.
void run_effects_from(EffectList& effects, const float* source, float* data,
                      unsigned long long frames, int channels, unsigned long long block_size,
                      unsigned int workers);

}  // namespace kavri
