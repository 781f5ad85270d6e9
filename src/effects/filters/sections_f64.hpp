// Second-order sections in double precision, run as scipy.signal.sosfilt runs them: its
// transposed direct form, operation for operation, each channel on its own. The noise
// colours are filtered here with the bits SciPy gave them, without the second it takes to
// load SciPy's signal package.
#pragma once

#include <cstddef>

namespace kavri {

// `sos` holds `sections` rows of b0, b1, b2, a0, a1, a2 (a0 is 1 and not read). `x` holds
// `frames` interleaved frames of `channels` channels, filtered in place. `state` holds each
// section's two delays for every channel, [section][delay][channel], carried from one call
// to the next.
void filter_sections(const double* sos, std::size_t sections, double* x, std::size_t frames,
                     std::size_t channels, double* state);

}  // namespace kavri
