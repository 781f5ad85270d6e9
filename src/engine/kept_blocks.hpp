// Large float blocks that go back to a small store when let go and are handed out again to
// the next request of the same size.
//
// Memory the C library's allocator takes from the system for a large block (mapped pages,
// or the top of its heap) goes back to the system when freed, and the next call of the same
// shape pays a page fault for every 4 KiB it touches again: on a virtual machine a few
// microseconds each, more than a convolution's arithmetic on a short clip. Blocks kept here
// stay mapped between calls. The store holds at most kKeptBytes in all; a block let go
// beyond that is freed, the oldest first, and a block larger than the whole store is never
// kept. The memory a call plans for is unchanged: a kept block replaces an allocation of
// the same size.
#pragma once

#include <cstddef>

namespace kavri {

class KeptBlock {
public:
    // What the store keeps at most, in bytes, across the process.
    static constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

    KeptBlock() = default;
    // A block of `floats` floats, kept before or new (std::bad_alloc if it cannot be had).
    // Its contents are not set.
    explicit KeptBlock(std::size_t floats);
    ~KeptBlock();
    KeptBlock(KeptBlock&& other) noexcept;
    KeptBlock& operator=(KeptBlock&& other) noexcept;
    KeptBlock(const KeptBlock&) = delete;
    KeptBlock& operator=(const KeptBlock&) = delete;

    [[nodiscard]] float* get() const { return data_; }
    [[nodiscard]] std::size_t size() const { return floats_; }

    // The bytes the store holds now (blocks let go and not yet handed out again).
    static std::size_t kept_bytes();

private:
    void release() noexcept;

    float* data_ = nullptr;
    std::size_t floats_ = 0;
};

}  // namespace kavri
