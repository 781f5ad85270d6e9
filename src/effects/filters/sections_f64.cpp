#include "effects/filters/sections_f64.hpp"

namespace kavri {

void filter_sections(const double* sos, std::size_t sections, double* x, std::size_t frames,
                     std::size_t channels, double* state) {
    for (std::size_t n = 0; n < frames; ++n) {
        double* frame = x + n * channels;
        for (std::size_t c = 0; c < channels; ++c) {
            double current = frame[c];
            for (std::size_t s = 0; s < sections; ++s) {
                const double* k = sos + 6 * s;
                double* first = state + 2 * s * channels + c;
                double* second = first + channels;
                const double next = k[0] * current + *first;
                *first = (k[1] * current - k[4] * next) + *second;
                *second = k[2] * current - k[5] * next;
                current = next;
            }
            frame[c] = current;
        }
    }
}

}  // namespace kavri
