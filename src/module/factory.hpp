// Reading effect specs (Python dicts) into effects.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "engine/effect.hpp"
#include "engine/effect_plan.hpp"
#include "engine/memory_budget.hpp"

namespace kavri {

// The key's value converted to float32, or the default when the spec lacks the key. A value
// that does not convert raises the binding library's cast error. No clamping.
float read_float_param(const pybind11::dict& spec, const char* key, float default_value);

// The key's value as a signed 32-bit int (Python floats refused), or the default.
int read_int_param(const pybind11::dict& spec, const char* key, int default_value);

// Plans one effect from a spec dict: reads "type", picks the effect by name and reads that
// effect's parameters. `type` receives the name as a message can show it.
PlannedEffect plan_effect_spec(const pybind11::dict& spec, int sample_rate, int channels,
                               std::string& type);

// Plans one effect per item of specs, in order, with the interpreter lock held. Items that are
// not dicts are passed to dict(). The memory of the call (`caller_bytes`, described by
// `caller_what`, and every effect planned so far) is checked against what the process may
// use after each item, so the first spec that fails, by its value or by its size, ends the
// call, before anything is allocated: a size that does not fit raises MemoryBudgetError.
// When `spec_copies` is given, a plain copy of each spec dict read is appended to it, so that
// the same chain can be planned again whatever the caller does to its list or dicts later.
// `held_bytes` is what a stream keeps in front of each effect that holds frames (a block of
// `block_size` frames); it is counted as part of that effect.
EffectPlan plan_effects(const pybind11::list& specs, int sample_rate, int channels,
                        ByteCount caller_bytes, const std::string& caller_what,
                        pybind11::list* spec_copies = nullptr, ByteCount held_bytes = ByteCount(0),
                        unsigned long long block_size = 0);

// Plans one chain as plan_effects does, each effect's state counting its entry in the plan
// and its slot in the list, with no memory check: for a caller that checks the memory of a
// call made of many chains at once (and plans a chain again with plan_effects to say which
// effect does not fit, should the call be refused).
EffectPlan plan_chain_unchecked(const pybind11::list& specs, int sample_rate, int channels);

}  // namespace kavri
