#include "engine/state_size.hpp"

#include <unistd.h>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace kavri {

namespace {

std::uint64_t read_physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(page_size);
    if (p > std::numeric_limits<std::uint64_t>::max() / s) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return p * s;
}

// Read once: the machine's memory does not change while the process runs, and every effect
// with a sized state asks (sysconf reads it through a system call each time).
std::uint64_t physical_memory_bytes() {
    static const std::uint64_t bytes = read_physical_memory_bytes();
    return bytes;
}

}  // namespace

std::uint64_t checked_count_product(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
        throw std::bad_alloc();
    }
    return a * b;
}

void require_state_fits(std::uint64_t count, std::size_t element_bytes) {
    const std::uint64_t bytes = checked_count_product(count, element_bytes);
    if (bytes > physical_memory_bytes()) {
        throw std::bad_alloc();
    }
}

std::uint64_t float_to_count(float value, const char* what) {
    if (std::isnan(value)) {
        throw std::runtime_error(std::string(what) + " is not a number.");
    }
    // 2^63 is exactly representable; anything at or above it cannot be a state size here.
    if (!(value < 9223372036854775808.0f)) {
        throw std::bad_alloc();
    }
    if (value < 0.0f) {
        return 0;
    }
    return static_cast<std::uint64_t>(value);
}

}  // namespace kavri
