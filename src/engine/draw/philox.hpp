// Philox-4x64-10, the counter-based generator random chains are drawn from, as NumPy's
// numpy.random.Philox runs it: a 128-bit key, a 256-bit counter starting at 0 and raised by
// one before each block of four 64-bit words, the words taken in order.
#pragma once

#include <cstdint>

namespace kavri {

class Philox4x64 {
public:
    Philox4x64(std::uint64_t key0, std::uint64_t key1) : key_{key0, key1} {}

    std::uint64_t next() {
        if (position_ == 4) {
            refill();
        }
        return block_[position_++];
    }

    // A double uniform in [0, 1): the top 53 bits of the next word, times 2^-53.
    double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    __extension__ using Wide = unsigned __int128;

    static void multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& high,
                         std::uint64_t& low) {
        const Wide product = static_cast<Wide>(a) * static_cast<Wide>(b);
        high = static_cast<std::uint64_t>(product >> 64);
        low = static_cast<std::uint64_t>(product);
    }

    void refill() {
        for (std::uint64_t& word : counter_) {
            if (++word != 0) {
                break;
            }
        }
        std::uint64_t x[4] = {counter_[0], counter_[1], counter_[2], counter_[3]};
        std::uint64_t k0 = key_[0];
        std::uint64_t k1 = key_[1];
        for (int round = 0; round < 10; ++round) {
            if (round != 0) {
                k0 += 0x9E3779B97F4A7C15ULL;
                k1 += 0xBB67AE8584CAA73BULL;
            }
            std::uint64_t high0 = 0;
            std::uint64_t low0 = 0;
            std::uint64_t high1 = 0;
            std::uint64_t low1 = 0;
            multiply(0xD2E7470EE14C6C93ULL, x[0], high0, low0);
            multiply(0xCA5A826395121157ULL, x[2], high1, low1);
            const std::uint64_t y[4] = {high1 ^ x[1] ^ k0, low1, high0 ^ x[3] ^ k1, low0};
            for (int w = 0; w < 4; ++w) {
                x[w] = y[w];
            }
        }
        for (int w = 0; w < 4; ++w) {
            block_[w] = x[w];
        }
        position_ = 0;
    }

    std::uint64_t key_[2];
    std::uint64_t counter_[4] = {0, 0, 0, 0};
    std::uint64_t block_[4] = {0, 0, 0, 0};
    int position_ = 4;
};

}  // namespace kavri
