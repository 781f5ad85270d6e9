// The rooms of the streaming module: convolution with an impulse response and the
// algorithmic reverb (effects/rooms), each a stateful object fed chunk after chunk.
#pragma once

#include <pybind11/pybind11.h>

namespace kavri {

void add_rooms_bindings(pybind11::module_& m);

}  // namespace kavri
