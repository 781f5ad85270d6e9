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
// block size and worker count. The stream uses that itself: a chain with stages takes a long
// chunk in pieces, so that what its stages hold during a run stays near a piece and a block
// rather than growing with the chunk.
//
// Memory is sized before it is taken: chunk_memory() and end_memory() give what a run will
// allocate, and held_bytes_between_runs() what a chain keeps between runs, so that the caller
// can refuse a run that does not fit before anything changes.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "engine/effect.hpp"
#include "engine/effect_plan.hpp"
#include "engine/memory_budget.hpp"
#include "engine/worker_pool.hpp"

namespace kavri {

class Stream {
public:
    // A stream over freshly built effects for `channels` channels. block_size and workers are
    // the effective values of a pipeline run, at least 1 each. `scratch` is the largest scratch
    // one of the effects takes while it runs.
    Stream(EffectList effects, int channels, unsigned long long block_size, unsigned int workers,
           ByteCount scratch = ByteCount(0));
    // A stream without a chain yet; rebuild() gives it one.
    Stream(int channels, unsigned long long block_size, unsigned int workers);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();

    int channels() const { return channels_; }
    unsigned long long block_size() const { return block_size_; }
    unsigned int workers() const { return workers_; }
    bool has_chain() const { return has_chain_; }

    // The most that a chain with `holding` frame-holding effects keeps between runs: a block
    // of frames in front of each (fewer frames are held, but the buffer keeps room for a
    // block). A chain without such an effect keeps nothing.
    static ByteCount held_bytes_between_runs(std::size_t holding, int channels,
                                             unsigned long long block_size);

    // The frames that a chunk of `frames` frames releases.
    unsigned long long released_by(unsigned long long frames) const;
    // The frames held back, which end() releases.
    unsigned long long held_frames() const;

    // What one run allocates beyond what the stream already holds.
    struct RunMemory {
        ByteCount output;   // the released frames, in the buffer the caller provides
        ByteCount held;     // growth of the held buffers, and their trimming after the run
        ByteCount scratch;  // what an effect takes while it runs
        ByteCount total() const { return output + held + scratch; }
    };
    // For load(chunk, frames, out) and the run after it.
    RunMemory chunk_memory(unsigned long long frames) const;
    // For load_end(out) and the run after it.
    RunMemory end_memory() const;

    // A run in two steps. load() makes room for everything the run will hold (`out` must have
    // room for released_by(frames) frames); it runs no effect, and a failure (std::bad_alloc)
    // leaves the stream as it was. run() then reads the chunk (frames x channels floats, which
    // must stay valid and unchanged until run() returns), puts it through the chain and writes
    // the frames it releases to `out`. run() touches nothing but the stream and the two buffers,
    // so it may run without the interpreter lock; until it returns, nothing else may use the
    // stream.
    void load(const float* chunk, unsigned long long frames, float* out);
    // As load() for the end of the signal: the run releases every held frame (held_frames() of
    // them into `out`). The effects have then seen a whole signal, so the stream wants a new
    // chain (rebuild()) before any further use.
    void load_end(float* out);
    void run();

    // Frees the chain and every held frame. The stream then has no chain.
    void drop_chain();
    // Frees the chain and every held frame, then builds the plan's effects: the old chain is
    // gone before the new one takes memory. A build that fails leaves the stream without a
    // chain and propagates the error.
    void rebuild(const EffectPlan& plan);

    // True after a run that failed part-way or after the end was run (a worker thread that
    // cannot start fails the run before it changes anything, and needs no reset):
    // the effects' state no longer belongs to one unbroken signal, and only a new chain helps.
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

    void take_chain(EffectList effects, ByteCount scratch);
    void run_chunk();
    void run_end();
    unsigned long long pass_stages(unsigned long long first_new, bool at_end, float* out);
    void trim_held();
    void run_effects_over(const std::vector<Effect*>& effects, float* data,
                          unsigned long long frames);
    void run_effect(Effect& effect, float* data, unsigned long long frames);
    void start_workers(unsigned long long frames);
    std::size_t samples(unsigned long long frames) const;
    unsigned long long frames_in(const std::vector<float>& buffer) const;
    unsigned long long piece_frames() const;
    std::size_t kept_samples() const;
    std::vector<std::size_t> capacities_for(unsigned long long frames) const;

    EffectList effects_;
    std::vector<Stage> stages_;
    std::vector<Effect*> trailing_;
    ByteCount scratch_;
    int channels_;
    unsigned long long block_size_;
    unsigned int workers_;
    bool has_chain_ = false;
    bool needs_reset_ = false;
    std::unique_ptr<WorkerPool> pool_;

    // The run that load() prepared.
    bool loaded_ = false;
    bool at_end_ = false;
    const float* chunk_ = nullptr;
    unsigned long long chunk_frames_ = 0;
    float* out_ = nullptr;
};

}  // namespace kavri
