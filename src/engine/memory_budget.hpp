// How much memory a call may still take, and the byte counts it is compared with.
//
// A call sizes everything it will allocate (its output, every effect's state with the
// allocator's overhead, the largest scratch any effect takes while it runs) before it
// allocates any of it, and refuses with a MemoryError when the total does not fit in what
// the process may really use: the system's available memory and, inside a container, what
// is left under the memory limit of the process's control group. The kernel would otherwise
// grant the allocation and end the process when the pages are touched.
#pragma once

#include <cstddef>
#include <cstdint>
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
    std::string proc_dir = "/proc";          // meminfo, self/cgroup
    std::string cgroup_dir = "/sys/fs/cgroup";
};

// What the process may still allocate before the kernel runs out of memory for it: the
// smaller of MemAvailable and, for each control group from the process's own up to the root
// of its hierarchy (v2 memory.max minus memory.current, v1 memory.limit_in_bytes minus
// memory.usage_in_bytes), the room left under its limit. Figures that cannot be read are
// left out; when none can be read, the physical memory size stands in.
std::uint64_t available_memory_bytes(const MemorySources& sources);
std::uint64_t available_memory_bytes();

// The part of `available` one call may plan for: an eighth of it, and at most 256 MiB, is
// kept back for what the guard does not see (the interpreter, other threads and processes,
// memory the call's threads take for their stacks).
std::uint64_t usable_memory_bytes(std::uint64_t available);

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

private:
    std::uint64_t usable_;
    ByteCount caller_;
    ByteCount states_;
    ByteCount largest_scratch_;
};

}  // namespace kavri
