#include "effects/dynamics/compressor.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_compressor_effect(const ParamReader&, float, int) { effect_not_built("compressor"); }

EffectPtr make_upward_compressor_effect(const ParamReader&, float, int) { effect_not_built("upward_compression"); }

}  // namespace kavri
