// How an effect builder reads its parameters, without knowing where they come from.
#pragma once

#include "engine/effect.hpp"

namespace kavri {

// Reads one named parameter, or gives the default when the key is absent. A present value
// that does not convert throws. Readers never clamp: each effect clamps what it reads.
class ParamReader {
public:
    virtual ~ParamReader() = default;
    virtual float read_float(const char* key, float default_value) const = 0;
    virtual int read_int(const char* key, int default_value) const = 0;
};

// Builds one effect from its parameters, the call's sample rate and its channel count. Every
// key is read before the effect allocates anything.
using EffectBuilder = EffectPtr (*)(const ParamReader& params, float sample_rate, int channels);

}  // namespace kavri
