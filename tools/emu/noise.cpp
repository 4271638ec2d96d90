#include "tools/emu/noise.h"

Rng::Rng(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull)
{
    if (state_ == 0)
        state_ = 1;
}

uint32_t Rng::next()
{
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return static_cast<uint32_t>((state_ * 0x2545F4914F6CDD1Dull) >> 32);
}

std::vector<unsigned char> noiseBytes(Rng& rng, uint64_t n, unsigned char forbidden)
{
    std::vector<unsigned char> noise;
    if (n == 0)
        return noise;
    unsigned char codes[15];
    unsigned nCodes = 0;
    for (unsigned c = 0xF0; c <= 0xFE; ++c)
        if (c != forbidden)
            codes[nCodes++] = static_cast<unsigned char>(c);

    noise.reserve(static_cast<size_t>(n) + 4);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t r = rng.next();
        if ((r & 7) == 0)
            noise.push_back(codes[(r >> 8) % nCodes]);
        else
            noise.push_back(static_cast<unsigned char>((r >> 8) % 0xF0));
    }
    for (int i = 0; i < 4; ++i)
        noise.push_back(0);
    return noise;
}

std::vector<unsigned char> chatterBytes(uint64_t k, unsigned char forbidden)
{
    const unsigned char voidMsg[5] = {0xF1, 0x03, 0x81, 0x01, 0x46};
    unsigned char otherMsg[5] = {0xFE, 0x03, 0x01, 0x01, 0x46};
    if (otherMsg[0] == forbidden)
        otherMsg[0] = 0xFD;
    std::vector<unsigned char> bytes;
    bytes.reserve(static_cast<size_t>(k) * 10);
    for (uint64_t i = 0; i < k; ++i) {
        bytes.insert(bytes.end(), voidMsg, voidMsg + 5);
        bytes.insert(bytes.end(), otherMsg, otherMsg + 5);
    }
    return bytes;
}
