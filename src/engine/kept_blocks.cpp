#include "engine/kept_blocks.hpp"

#include <pthread.h>

#include <mutex>
#include <new>
#include <utility>

namespace kavri {

namespace {

// A handful of entries: a chain holds few large blocks, and a call of the same shape asks
// for the same sizes again.
constexpr std::size_t kEntries = 8;

struct Store {
    std::mutex lock;
    float* blocks[kEntries] = {};
    std::size_t sizes[kEntries] = {};  // in floats, 0 for an empty entry
    std::size_t count = 0;             // entries in use, oldest first
    std::size_t bytes = 0;
};

Store& store() {
    static Store* const made = [] {
        auto* s = new Store();  // never destroyed: blocks may be let go during exit
        // A child made by fork() while another thread held the lock would wait on it for
        // ever: the lock is taken around fork() and given back on both sides.
        pthread_atfork([] { store().lock.lock(); }, [] { store().lock.unlock(); },
                       [] { store().lock.unlock(); });
        return s;
    }();
    return *made;
}

void remove_entry(Store& s, std::size_t at) {
    s.bytes -= s.sizes[at] * sizeof(float);
    for (std::size_t i = at + 1; i < s.count; ++i) {
        s.blocks[i - 1] = s.blocks[i];
        s.sizes[i - 1] = s.sizes[i];
    }
    --s.count;
    s.blocks[s.count] = nullptr;
    s.sizes[s.count] = 0;
}

}  // namespace

KeptBlock::KeptBlock(std::size_t floats) : floats_(floats) {
    if (floats == 0) {
        return;
    }
    {
        Store& s = store();
        const std::lock_guard<std::mutex> hold(s.lock);
        // The newest block of the size asked for.
        for (std::size_t i = s.count; i-- > 0;) {
            if (s.sizes[i] == floats) {
                data_ = s.blocks[i];
                remove_entry(s, i);
                return;
            }
        }
    }
    data_ = static_cast<float*>(::operator new(floats * sizeof(float)));
}

KeptBlock::~KeptBlock() {
    release();
}

KeptBlock::KeptBlock(KeptBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), floats_(std::exchange(other.floats_, 0)) {}

KeptBlock& KeptBlock::operator=(KeptBlock&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        floats_ = std::exchange(other.floats_, 0);
    }
    return *this;
}

void KeptBlock::release() noexcept {
    float* block = std::exchange(data_, nullptr);
    const std::size_t floats = std::exchange(floats_, 0);
    if (block == nullptr) {
        return;
    }
    const std::size_t bytes = floats * sizeof(float);
    if (bytes > kKeptBytes) {
        ::operator delete(block);
        return;
    }
    float* dropped[kEntries + 1] = {};
    std::size_t drops = 0;
    {
        Store& s = store();
        const std::lock_guard<std::mutex> hold(s.lock);
        while (s.count > 0 && (s.count == kEntries || s.bytes + bytes > kKeptBytes)) {
            dropped[drops++] = s.blocks[0];
            remove_entry(s, 0);
        }
        s.blocks[s.count] = block;
        s.sizes[s.count] = floats;
        ++s.count;
        s.bytes += bytes;
    }
    // Freed outside the lock.
    for (std::size_t i = 0; i < drops; ++i) {
        ::operator delete(dropped[i]);
    }
}

std::size_t KeptBlock::kept_bytes() {
    Store& s = store();
    const std::lock_guard<std::mutex> hold(s.lock);
    return s.bytes;
}

}  // namespace kavri
