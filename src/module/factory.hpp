// Reading effect specs (Python dicts) into effects.
#pragma once

#include <pybind11/pybind11.h>

#include "engine/effect.hpp"

namespace kavri {

// The key's value converted to float32, or the default when the spec lacks the key. A value
// that does not convert raises the binding library's cast error. No clamping.
float read_float_param(const pybind11::dict& spec, const char* key, float default_value);

// The key's value as a signed 32-bit int (Python floats refused), or the default.
int read_int_param(const pybind11::dict& spec, const char* key, int default_value);

// Builds one effect from a spec dict: reads "type", picks the effect by name and reads that
// effect's parameters.
EffectPtr make_effect(const pybind11::dict& spec, int sample_rate, int channels);

// Builds one effect per item of specs, in order. Items that are not dicts are passed to
// dict(). The first failure ends the build and propagates; what was built stays in `effects`
// for its owner to destroy.
void build_effect_list(const pybind11::list& specs, int sample_rate, int channels,
                       EffectList& effects);

}  // namespace kavri
