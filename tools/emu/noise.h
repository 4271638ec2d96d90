// What the device sends that the updater must pass over: random bytes and
// messages it is not waiting for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// xorshift64*, so that a seed always gives the same bytes.
class Rng {
public:
    explicit Rng(uint64_t seed);
    uint32_t next();

private:
    uint64_t state_;
};

// n random bytes with plenty of code bytes (0xF0-0xFE) in them, never
// `forbidden`, the one the updater is waiting for; then four zero bytes, so
// that a code byte near the end makes a complete (void) message of its own
// instead of swallowing the start of the real message that follows.
std::vector<unsigned char> noiseBytes(Rng& rng, uint64_t n, unsigned char forbidden);

// k void messages (a data byte with its top bit set) and k well-formed ones
// with a code other than `forbidden`, taking turns.
std::vector<unsigned char> chatterBytes(uint64_t k, unsigned char forbidden);
