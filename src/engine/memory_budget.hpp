// How much memory a call may still take, and the byte counts it is compared with.
//
// A call sizes everything it will allocate (its output, every effect's state with the
// allocator's overhead, the largest scratch any effect takes while it runs) before it
// allocates any of it, and refuses with a MemoryError when the total does not fit in what
// the process may really use: the system's available memory and, inside a container, what
// is left under the memory limit of the process's control group. The kernel would otherwise
// grant the allocation and end the process when the pages are touched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>

namespace kavri {

// A byte count that saturates at the largest uint64 instead of wrapping, so that a size too
// large for any machine stays too large however it is combined.
class ByteCount {
public:
    static constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};

    constexpr ByteCount() = default;
    constexpr explicit ByteCount(std::uint64_t bytes) : bytes_(bytes) {}

    static ByteCount product(std::uint64_t a, std::uint64_t b);

    ByteCount& operator+=(ByteCount other);
    friend ByteCount operator+(ByteCount a, ByteCount b) { return a += b; }
    bool unbounded() const { return bytes_ == kUnbounded; }
    std::uint64_t bytes() const { return bytes_; }

private:
    std::uint64_t bytes_ = 0;
};

// What one heap allocation of `bytes` really takes from the process: glibc's malloc adds a
// header and rounds small blocks up to 16 bytes (32 at least), and serves large ones with
// whole pages of their own. An allocation of 0 bytes (an empty vector) takes nothing.
ByteCount heap_block_bytes(ByteCount bytes);

// One heap block of `count` elements of `element_bytes` each.
ByteCount heap_array_bytes(std::uint64_t count, std::size_t element_bytes);

// `blocks` separate heap blocks of `count` elements each: the per-channel vectors of a
// vector of vectors, whose outer array of vector headers is counted apart.
ByteCount heap_arrays_bytes(std::uint64_t blocks, std::uint64_t count, std::size_t element_bytes);

// The text of a size for a message: "512 bytes", "3.4 KiB", "3.6 GiB".
std::string format_bytes(ByteCount bytes);

// Where the memory figures are read from; tests point it at files of their own.
struct MemorySources {
    std::string proc_dir = "/proc";  // meminfo, self/cgroup
    std::string cgroup_dir = "/sys/fs/cgroup";
};

// What the process may still allocate before the kernel runs out of memory for it: the
// smaller of MemAvailable and, for each control group from the process's own up to the root
// of its hierarchy (v2 memory.max minus memory.current, v1 memory.limit_in_bytes minus
// memory.usage_in_bytes), the room left under its limit. A group's usage includes page cache
// of files it has read or written; the part of that cache the kernel can drop at once
// (inactive_file in v2's memory.stat, total_inactive_file in v1's, both counted over the
// group's whole subtree as its usage is) is counted as room, as container runtimes do. Under
// an address-space limit (RLIMIT_AS, ulimit -v), the limit less the process's mapped size
// (VmSize in self/status) bounds it too. Figures that cannot be read are left out; when none
// can be read, the physical memory size stands in.
std::uint64_t available_memory_bytes(const MemorySources& sources);
// The same for this process, lowered by KAVRI_AVAILABLE_MEMORY when that is set (which
// throws std::invalid_argument for a value that is not a size, see imposed_memory_bytes).
std::uint64_t available_memory_bytes();

// The figure KAVRI_AVAILABLE_MEMORY imposes: false when the variable is unset or empty.
// Throws std::invalid_argument, naming the variable and its value, for anything that is not
// a size (see parse_size).
bool imposed_memory_bytes(std::uint64_t& bytes);

// Reads a size as people write it: a whole or decimal number of bytes, with an optional
// exponent ("1e9", "2.5e6"), and an optional unit, case-insensitive: B, then K, M, G and T,
// each also written KB or KiB (MB, MiB, ...). Every unit is binary (K = KB = KiB = 1024
// bytes), as free, ulimit and container runtimes read them for memory; a decimal gigabyte is
// written 1e9. Blanks around the number and the unit are allowed. A fraction of a byte is
// dropped; a size beyond 16 EiB is taken as 16 EiB. False, leaving `bytes`, for anything else:
// a sign, an empty number, an unknown unit, trailing text.
bool parse_size(const std::string& text, std::uint64_t& bytes);

// The part of `available` one call may plan for: an eighth of it, and at most 256 MiB, is
// kept back for what the guard does not see (the interpreter, other threads and processes,
// memory the call's threads take for their stacks).
std::uint64_t usable_memory_bytes(std::uint64_t available);

// The guard's view of the memory figures, shared by every call of the process. Reading the
// system's figures takes several files (55-75 us); a reading less than a second old serves a
// call whose need is a small part of it. So that a stale reading never admits a call that a
// fresh one would refuse, the reading is reused only while the room it showed, less what the
// calls admitted since have taken (memory they may still hold), is at least kReuseFactor
// times the call's need; otherwise the figures are read again. Memory the caller allocates
// itself between two calls is not seen by the count: the margin is what keeps such a change
// from turning a refusal into an admission, short of a caller who takes more than 63/64 of
// the room within the second. A refusal is always decided on a fresh reading.
class MemoryGauge {
public:
    static constexpr std::uint64_t kReuseFactor = 64;

    explicit MemoryGauge(MemorySources sources = MemorySources{});
    MemoryGauge(const MemoryGauge&) = delete;
    MemoryGauge& operator=(const MemoryGauge&) = delete;

    // The bytes a call that needs `needed` in all may plan for: the usable part of the last
    // reading less what was admitted since, or, when that is not comfortably larger than
    // `needed`, or the reading is old, or `must_read` is set, the usable part of a new reading
    // (`fresh` then true).
    std::uint64_t usable_for(ByteCount needed, bool must_read, bool& fresh);

    // Records that a call admitted against the current reading takes `bytes`.
    void take(ByteCount bytes);

    // The lock taken around fork() and given back on both sides (see system_memory_gauge).
    void hold_for_fork();
    void release_after_fork();

private:
    MemorySources sources_;
    std::mutex mutex_;
    bool have_reading_ = false;
    std::uint64_t available_ = 0;  // as read, before any imposed figure
    std::uint64_t taken_ = 0;
    std::chrono::steady_clock::time_point when_;
};

// The gauge of this process's own figures.
MemoryGauge& system_memory_gauge();

// One call's use of the gauge. A call sizes its needs step by step (its output, then each
// effect); usable_for gives the figure to compare the running total with, reading the
// system's figures again, at most once per call, when the total is no longer a small part of
// the reading in hand. admit records the total of a call that was let through.
class CallMemory {
public:
    explicit CallMemory(MemoryGauge& gauge = system_memory_gauge()) : gauge_(gauge) {}

    std::uint64_t usable_for(ByteCount needed);
    void admit(ByteCount total) { gauge_.take(total); }

private:
    MemoryGauge& gauge_;
    bool fresh_ = false;
    std::uint64_t fresh_usable_ = 0;
};

// The refusal of a call that would not fit: reaches Python as MemoryError with this text.
class MemoryBudgetError : public std::bad_alloc {
public:
    explicit MemoryBudgetError(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The memory one effect will take: `state` for as long as it lives, `scratch` only while it
// runs. `size_key` is the parameter that sets the size, if one does, and `state_name` what
// the memory is for ("delay line").
struct EffectMemory {
    ByteCount state;
    ByteCount scratch;
    const char* size_key = nullptr;
    double size_value = 0.0;
    const char* state_name = "state";
};

// The running total of one call: the caller's own bytes (its output buffer), then each
// effect as it is planned. Every step refuses, before anything is allocated, a total that
// exceeds `usable` bytes, naming what does not fit.
class MemoryBudget {
public:
    MemoryBudget(std::uint64_t usable, ByteCount caller_bytes, const std::string& caller_what);

    // Adds effect number `index` (from 1) of type `type`; throws MemoryBudgetError when the
    // call no longer fits. The message names the effect and its key when the effect alone
    // does not fit beside the caller's bytes, and the chain so far when only the sum does not.
    void add_effect(const std::string& type, std::size_t index, int channels,
                    const EffectMemory& memory);

    ByteCount total() const;
    std::uint64_t usable() const { return usable_; }
    // Replaces the figure compared with, after a fresh reading.
    void set_usable(std::uint64_t usable) { usable_ = usable; }

private:
    std::uint64_t usable_;
    ByteCount caller_;
    ByteCount states_;
    ByteCount largest_scratch_;
};

// The check of a call whose need is one sum: throws MemoryBudgetError ("{what} needs 3.6 GiB;
// about 1.0 GiB is available") when `needed` does not fit in what `memory` gives, and records
// it as taken when it does.
void require_memory(ByteCount needed, const std::string& what, CallMemory& memory);

}  // namespace kavri
