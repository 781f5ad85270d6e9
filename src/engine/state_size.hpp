// Guards for effect state sizes that come from user parameters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavri {

// Throws std::bad_alloc unless `count` elements of `element_bytes` bytes each fit in the
// machine's physical memory. An operating system may grant a larger zeroed allocation and
// then end the process when it is touched; refusing it up front keeps the process alive.
void require_state_fits(std::uint64_t count, std::size_t element_bytes);

// Multiplies two element counts, throwing std::bad_alloc when the product overflows.
std::uint64_t checked_count_product(std::uint64_t a, std::uint64_t b);

// Converts a whole, non-negative sample count held in a float to an integer count. Throws
// std::runtime_error naming `what` for NaN, and std::bad_alloc for an infinite count or one
// beyond what memory could hold, instead of a conversion with undefined behaviour.
std::uint64_t float_to_count(float value, const char* what);

}  // namespace kavri
