// Vectors whose zero-filled storage comes straight from calloc.
//
// A large calloc is served with fresh pages that the system maps only when they are first
// written, so a long delay line costs memory for the part a call really reaches, and its
// construction does not walk the whole line writing zeros.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace kavri {

template <typename T>
struct ZeroedAllocator {
    static_assert(std::is_trivially_default_constructible_v<T> &&
                      std::is_trivially_destructible_v<T>,
                  "all zero bits must be a valid, zero value");
    using value_type = T;

    ZeroedAllocator() = default;
    template <typename U>
    ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        void* p = std::calloc(n, sizeof(T));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    // Value-initialisation leaves calloc's zero bits as they are; every other construction
    // is the usual one.
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const ZeroedAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const ZeroedAllocator<U>&) const noexcept {
        return false;
    }
};

template <typename T>
using ZeroedVector = std::vector<T, ZeroedAllocator<T>>;

}  // namespace kavri
