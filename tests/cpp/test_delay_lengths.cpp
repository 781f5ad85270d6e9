// Line lengths of the delay effects at 48 kHz with each type's defaults. No output reveals
// them (every read stays inside the line whatever its length), so they are checked here.
#include <cstdio>
#include <vector>

#include "effects/filters/delay.hpp"
#include "effects/filters/modulated_delay.hpp"

namespace {

int failures = 0;

void check_lines(const std::vector<kavri::DelayLine>& lines, std::size_t length, const char* what) {
    bool ok = lines.size() == 2;
    for (const auto& line : lines) {
        ok = ok && line.size() == length;
    }
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    using kavri::ModulatedDelayEffect;
    const float q = 1.5707964f;
    check_lines(kavri::DelayEffect(48000.0f, 2, 150.0f, 0.2f, 0.35f).lines, 7200, "delay");
    check_lines(kavri::PingPongDelayEffect(48000.0f, 2, 180.0f, 0.3f, 0.55f).lines, 8644,
                "ping-pong");
    check_lines(kavri::PingPongDelayEffect(48000.0f, 2, -3.0f, 0.3f, 0.55f).lines, 8,
                "ping-pong, 8 at least");
    check_lines(ModulatedDelayEffect(48000.0f, 2, 18.0f, 7.5f, 0.9f, 0.35f, 0.12f, false, q).lines,
                1708, "chorus");
    check_lines(ModulatedDelayEffect(48000.0f, 2, 2.5f, 1.8f, 0.25f, 0.45f, 0.35f, false, q).lines,
                691, "flanger");
    check_lines(ModulatedDelayEffect(48000.0f, 2, 5.5f, 3.5f, 5.0f, 1.0f, 0.0f, true, q).lines, 916,
                "vibrato");
    check_lines(ModulatedDelayEffect(48000.0f, 2, 18.0f, -7.5f, 0.9f, 0.35f, 0.12f, false, q).lines,
                1708, "a negative depth counts by its size");
    check_lines(ModulatedDelayEffect(100.0f, 2, 0.0f, 0.0f, 0.9f, 0.35f, 0.12f, false, q).lines, 8,
                "swept, 8 at least");
    if (failures == 0) {
        std::printf("delay line lengths: all checks passed\n");
    }
    return failures == 0 ? 0 : 1;
}
