// The batch engine against each item's own run through its effect objects: for random
// items (lengths, channel counts, chains of the lane kinds with every parameter drawn, and
// effects that have no lanes), every item's output must be the same bits, at every lane width
// this processor runs, on the scalar path, and for one and two workers. Bits are compared as
// they are, NaNs too (stricter than the project's rule that any NaN equals any NaN): the
// lanes run each effect's vector arithmetic in its own operand order.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "effects/dynamics/compressor.hpp"
#include "effects/dynamics/limiter.hpp"
#include "effects/filters/delay.hpp"
#include "effects/filters/filter_effect.hpp"
#include "effects/filters/phaser.hpp"
#include "effects/level/level.hpp"
#include "effects/level/modulation.hpp"
#include "engine/batch/batch.hpp"
#include "engine/batch/lane_job.hpp"
#include "engine/effect.hpp"

namespace {

using namespace kavri;

class MapReader final : public ParamReader {
public:
    std::map<std::string, float> floats;
    std::map<std::string, int> ints;
    float read_float(const char* key, float fallback) const override {
        const auto found = floats.find(key);
        return found == floats.end() ? fallback : found->second;
    }
    int read_int(const char* key, int fallback) const override {
        const auto found = ints.find(key);
        return found == ints.end() ? fallback : found->second;
    }
};

constexpr float kRate = 16000.0f;

PlannedEffect random_effect(std::mt19937& rng, int channels, bool lanes_only) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    MapReader r;
    const int kinds = lanes_only ? 8 : 9;
    switch (rng() % static_cast<unsigned>(kinds)) {
        case 0:
            r.floats["db"] = -12.0f + 24.0f * u(rng);
            return plan_gain_effect(r, kRate, channels);
        case 1:
            r.floats["threshold"] = 0.05f + u(rng);
            return plan_clip_effect(r, kRate, channels);
        case 2:
            r.floats["drive"] = 0.5f + 8.0f * u(rng);
            return plan_distortion_effect(r, kRate, channels);
        case 3: {
            r.floats["frequency_hz"] = 30.0f + 6000.0f * u(rng);
            r.floats["q"] = 0.3f + 3.0f * u(rng);
            r.floats["gain_db"] = -12.0f + 24.0f * u(rng);
            r.ints["stages"] = 1 + static_cast<int>(rng() % 6);
            const auto kind = static_cast<FilterKind>(rng() % 7);
            return plan_filter_effect(kind, r, kRate, channels, 1000.0f, 0.7f);
        }
        case 4:
            r.floats["ceiling_db"] = -12.0f * u(rng);
            r.floats["attack_ms"] = 0.1f + 5.0f * u(rng);
            r.floats["release_ms"] = 10.0f + 100.0f * u(rng);
            return plan_limiter_effect(r, kRate, channels);
        case 5:
            r.floats["threshold_db"] = -40.0f * u(rng);
            r.floats["ratio"] = 1.0f + 10.0f * u(rng);
            r.floats["makeup_db"] = 6.0f * u(rng);
            return plan_compressor_effect(r, kRate, channels);
        case 6:
            r.floats["depth"] = u(rng);
            r.floats["rate_hz"] = 0.5f + 20.0f * u(rng);
            return plan_tremolo_effect(r, kRate, channels);
        case 7:
            r.floats["delay_ms"] = 0.01f + 30.0f * u(rng);
            r.floats["feedback"] = -0.9f + 1.8f * u(rng);
            r.floats["mix"] = u(rng);
            return plan_delay_effect(r, kRate, channels);
        default:
            return plan_phaser_effect(r, kRate, channels);
    }
}

std::vector<float> input_for(std::mt19937& rng, std::uint64_t frames, int channels) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    const float level = 0.01f + 2.0f * std::fabs(u(rng));
    std::vector<float> data(frames * static_cast<std::uint64_t>(channels));
    for (float& x : data) {
        x = level * u(rng);
    }
    if (data.size() > 50 && rng() % 4 == 0) {
        data[data.size() - 7] = std::numeric_limits<float>::quiet_NaN();
        data[data.size() - 20] = std::numeric_limits<float>::infinity();
        data[data.size() - 30] = 1e-41f;
    }
    return data;
}

int failures = 0;

void check_batch(unsigned seed) {
    std::mt19937 rng(seed);
    const int channels = 1 + static_cast<int>(rng() % 3);
    const std::size_t count = 1 + rng() % 40;
    std::vector<EffectPlan> chains(count);
    std::vector<std::vector<float>> inputs(count);
    std::vector<std::vector<float>> expected(count);
    std::vector<BatchItem> items(count);
    for (std::size_t i = 0; i < count; ++i) {
        const bool lanes_only = rng() % 5 != 0;
        const std::size_t length = rng() % 6;
        for (std::size_t k = 0; k < length; ++k) {
            chains[i].push_back(random_effect(rng, channels, lanes_only));
        }
        const std::uint64_t frames = rng() % 4 == 0 ? rng() % 40 : rng() % 3000;
        inputs[i] = input_for(rng, frames, channels);
        expected[i].resize(inputs[i].size());
        EffectList effects;
        chains[i].build(effects);
        run_effects_from(effects, inputs[i].data(), expected[i].data(), frames, channels, 2048, 1);
        items[i].input = inputs[i].data();
        items[i].frames = frames;
        items[i].chain = i;
    }
    for (const int width : {1, 4, 8, 16}) {
        if (!lane_width_available(width)) {
            continue;
        }
        for (const unsigned int workers : {1U, 2U}) {
            std::vector<std::vector<float>> outputs(count);
            std::vector<BatchItem> run_items = items;
            for (std::size_t i = 0; i < count; ++i) {
                outputs[i].assign(inputs[i].size(), -7.0f);
                run_items[i].output = outputs[i].data();
            }
            const BatchPlan plan(run_items, chains, channels, width);
            plan.run(2048, workers);
            for (std::size_t i = 0; i < count; ++i) {
                if (outputs[i].size() != expected[i].size() ||
                    (!outputs[i].empty() && std::memcmp(outputs[i].data(), expected[i].data(),
                                                        outputs[i].size() * sizeof(float)) != 0)) {
                    std::printf("seed %u width %d workers %u: item %zu (%zu effects", seed, width,
                                workers, i, chains[i].size());
                    for (std::size_t k = 0; k < chains[i].size(); ++k) {
                        std::printf(", kind %d", static_cast<int>(chains[i][k].lanes));
                    }
                    std::printf(", %zu channels) differs\n",
                                inputs[i].size() / (items[i].frames ? items[i].frames : 1));
                    ++failures;
                }
            }
        }
    }
}

// Groups and memory figures: items of lane chains fill groups of a vector's width (a lane
// per channel), an item with an effect that has no lanes runs alone, and a run with more
// workers may take more memory at once, never less.
void check_groups_and_memory() {
    const int width = chosen_lane_width();
    std::vector<EffectPlan> chains(2);
    MapReader gain;
    chains[0].push_back(plan_gain_effect(gain, kRate, 2));
    MapReader phaser;
    chains[1].push_back(plan_phaser_effect(phaser, kRate, 2));
    std::vector<float> data(std::size_t{100} * 2, 0.25f);
    std::vector<BatchItem> items;
    items.reserve(3 * static_cast<std::size_t>(width));
    for (int i = 0; i < 3 * width; ++i) {
        items.push_back({data.data(), nullptr, 100, i % 7 == 0 ? 1U : 0U});
    }
    std::size_t alone = 0;
    for (const BatchItem& item : items) {
        alone += item.chain;
    }
    const BatchPlan plan(items, chains, 2, width);
    const std::size_t in_lanes = items.size() - alone;
    const std::size_t per_group = static_cast<std::size_t>(width / 2);
    if (plan.single_items() != alone ||
        plan.lane_groups() != (in_lanes + per_group - 1) / per_group) {
        std::printf("groups: %zu alone (want %zu), %zu groups\n", plan.single_items(), alone,
                    plan.lane_groups());
        ++failures;
    }
    const BatchPlan scalar(items, chains, 2, 1);
    if (scalar.lane_groups() != 0 || scalar.single_items() != items.size()) {
        std::printf("the scalar path grouped items\n");
        ++failures;
    }
    if (plan.run_bytes(1).bytes() == 0 || plan.run_bytes(2).bytes() < plan.run_bytes(1).bytes() ||
        plan.run_bytes(1000).bytes() < plan.run_bytes(2).bytes()) {
        std::printf("run_bytes does not grow with the workers\n");
        ++failures;
    }
    // Items with more channels than a group has lanes run alone.
    const BatchPlan wide(items, chains, kMaxLanes + 1, width);
    if (wide.lane_groups() != 0) {
        std::printf("items wider than a group were grouped\n");
        ++failures;
    }
}

}  // namespace

int main() {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        check_batch(seed);
    }
    check_groups_and_memory();
    std::printf("chosen lane width %d\n", chosen_lane_width());
    if (failures != 0) {
        std::printf("%d items differ\n", failures);
        return 1;
    }
    std::printf("test_batch_lanes: every item equal to its own run\n");
    return 0;
}
