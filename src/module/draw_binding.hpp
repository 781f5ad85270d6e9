// The native draw of random chains (RandomDraw) in the streaming module.
#pragma once

#include <pybind11/pybind11.h>

namespace kavri {

void add_draw_bindings(pybind11::module_& m);

}  // namespace kavri
