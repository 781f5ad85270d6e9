// Swept all-pass phaser.
#pragma once

#include "engine/effect.hpp"
#include "engine/params.hpp"

namespace kavri {

EffectPtr make_phaser_effect(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
