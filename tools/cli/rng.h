// xorshift64*: cheap, and a seed always gives the same numbers, so that a
// run with random bytes in it can be repeated.
#pragma once

#include <cstdint>

class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull)
    {
        if (state_ == 0)
            state_ = 1;
    }

    uint32_t next()
    {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
    }

private:
    uint64_t state_;
};
