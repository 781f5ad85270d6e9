// A chain of effects run over a long signal that arrives in consecutive chunks.
//
// Every effect keeps its running state from one process() call to the next, so most of a
// chain can take the chunks as they come and release each frame at once. An effect whose
// output depends on where the blocks begin (the dynamic EQ) must see the same whole blocks as
// in one call over the whole signal, counted from the signal's first frame: the stream holds
// the frames of an unfinished block in front of it until the block completes, or until the
// end of the signal makes it the last, shorter block. The chain is therefore cut into stages
// at each such effect. A stage runs its leading effects on frames as they enter, keeps them in
// its held buffer, and passes whole blocks through its block effect to the next stage; the
// effects after the last block effect work on the released frames directly.
//
// So for any split of a signal into chunks, the chunks' outputs followed by what the end
// releases equal, bit for bit, one run of the same effects over the whole signal with the same
// block size and worker count.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/effect.hpp"

namespace kavri {

class Stream {
public:
    // A stream over freshly built effects for `channels` channels. block_size and workers are
    // the effective values of a pipeline run, at least 1 each.
    Stream(EffectList effects, int channels, unsigned long long block_size, unsigned int workers);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    int channels() const { return channels_; }
    unsigned long long block_size() const { return block_size_; }
    unsigned int workers() const { return workers_; }

    // The frames that a chunk of `frames` frames releases.
    unsigned long long released_by(unsigned long long frames) const;
    // The frames held back, which end() releases.
    unsigned long long held_frames() const;

    // A run in two steps. load() copies a chunk's samples in (frames × channels floats) and
    // makes room for everything the run will hold; `out` must have room for
    // released_by(frames) frames. It runs no effect, and a failure (std::bad_alloc) leaves the
    // stream as it was. run() then puts the chunk through the chain and writes the frames it
    // releases to `out`. run() touches nothing but the stream and the two buffers, so it may run
    // without the interpreter lock; until it returns, nothing else may use the stream.
    void load(const float* chunk, unsigned long long frames, float* out);
    // As load() for the end of the signal: the run releases every held frame (held_frames() of
    // them into `out`). The effects have then seen a whole signal, so the stream wants reset()
    // before any further use.
    void load_end(float* out);
    void run();

    // Takes a freshly built copy of the chain and drops every held frame: the stream is as if
    // new.
    void reset(EffectList fresh);

    // True after a run that failed part-way (no memory, no thread) or after the end was run:
    // the effects' state no longer belongs to one unbroken signal, and only reset() helps.
    bool needs_reset() const { return needs_reset_; }

private:
    // The effects that take frames as they enter, then the effect that needs whole blocks, and
    // the frames that have entered but not yet left (interleaved, fewer than block_size frames
    // between runs).
    struct Stage {
        std::vector<Effect*> leading;
        Effect* block_effect = nullptr;
        std::vector<float> held;
    };

    void build_stages();
    void run_effects_over(const std::vector<Effect*>& effects, float* data,
                          unsigned long long frames) const;
    std::size_t samples(unsigned long long frames) const;
    unsigned long long frames_in(const std::vector<float>& buffer) const;

    EffectList effects_;
    std::vector<Stage> stages_;
    std::vector<Effect*> trailing_;
    int channels_;
    unsigned long long block_size_;
    unsigned int workers_;
    bool needs_reset_ = false;

    // The run that load() prepared.
    bool loaded_ = false;
    bool at_end_ = false;
    unsigned long long chunk_frames_ = 0;
    unsigned long long first_new_frame_ = 0;  // in the first stage's held buffer
    float* out_ = nullptr;
};

}  // namespace kavri
