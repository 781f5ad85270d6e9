// The batch entry point of the streaming module: many items through their own chains in one
// call (engine/batch), and the lane widths it can run.
#pragma once

#include <pybind11/pybind11.h>

namespace kavri {

void add_batch_bindings(pybind11::module_& m);

}  // namespace kavri
