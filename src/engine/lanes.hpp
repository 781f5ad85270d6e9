// Four single-precision lanes side by side, for loops that handle four independent values at
// once. Every operation on them is the single-precision operation of each lane on its own
// (no fused multiply-add under the engine's flags), so a lane gives exactly the bits of the
// scalar code it stands for.
#pragma once

#include <cstdint>

namespace kavri {

using Lanes = float __attribute__((vector_size(16)));
using IntLanes = std::int32_t __attribute__((vector_size(16)));

}  // namespace kavri
