// Placeholder for effect rows whose effect is not built yet.
#pragma once

#include <stdexcept>
#include <string>

namespace kavri {

[[noreturn]] inline void effect_not_built(const char* type) {
    throw std::runtime_error(std::string("Effect type '") + type +
                             "' is not available in this build yet.");
}

}  // namespace kavri
