#include "effects/filters/rotary_speaker.hpp"

#include "effects/pending.hpp"

namespace kavri {

EffectPtr make_rotary_speaker_effect(const ParamReader&, float, int) { effect_not_built("rotary_speaker"); }

}  // namespace kavri
