// Faults a device makes in the gaps of the exchange (--fault POINT:KIND,
// made by Device::speak): its message or sync byte sent again, late or in
// pieces, stray bytes or noise around it. Bytes the device sent before the
// updater spoke are never its answer, and the updater must not take them for one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/rng.h"
#include "tools/emu/codes.h"

// Where a fault happens: one of the device's messages, the pause after the
// loader, or a sync byte.
enum class Point { Announce, Reply1, Reply2, Ready, Loader, Sync };

struct Fault {
    std::string text;  // as given, for the log
    Point point = Point::Announce;
    uint64_t chunk = 0;  // Point::Sync: only the sync byte after this chunk; 0: every one
    bool again = false;  // the message or sync byte once more
    uint64_t delayMs = 0, noise = 0;
    uint64_t cut = 0, pauseMs = 0;  // split: the message's first `cut` bytes, then a pause
    std::vector<unsigned char> before, bytes;
};

// A generous cap on every wait in ms: it only keeps a mistyped number from
// meaning days.
const uint64_t MAX_MS = 24ull * 3600 * 1000;

// "A<sep>B", both parts decimal, at most maxA and maxB.
bool parsePair(const std::string& s, char sep, uint64_t maxA, uint64_t maxB, uint64_t& a,
               uint64_t& b);

// "POINT:KIND" (the emulator's usage says which); false when it is none.
bool parseFault(const std::string& text, Fault& fault);

// Appends n random bytes from rng (seeded by --seed, so that a run repeats),
// plenty of code bytes (0xF0-0xFE) and so void and foreign messages among
// them, never `never`; then four zeros, so that a code byte near the end makes
// a (void) message of its own instead of swallowing the next one's start.
void addNoise(Rng& rng, std::vector<unsigned char>& out, uint64_t n, unsigned char never);

// The device's messages as the updater's receiver reads them: a code byte
// (0xF0-0xFF), then any four bytes, void or not; whatever else comes
// between is skipped. A message is valid when its four are 7-bit.
class Heard {
public:
    // p[0..n) sent at `at` (monotonic ns), the earliest it can have been read.
    void feed(const unsigned char* p, size_t n, int64_t at)
    {
        for (size_t i = 0; i < n; ++i) {
            if (dataLeft_ == 0) {
                dataLeft_ = p[i] >= 0xF0 ? 4 : 0;
                ready_ = p[i] == device::READY;  // and valid so far
                continue;
            }
            ready_ = ready_ && p[i] <= device::DATA_MOST;
            if (--dataLeft_ == 0 && ready_ && messages_ >= 2 && readyAt_ < 0)
                readyAt_ = at;
            messages_ += dataLeft_ == 0;
        }
    }
    size_t messages() const { return messages_; }
    // When the first valid ready message after the two the updater takes
    // for replies was sent; -1 while there is none.
    int64_t readyAt() const { return readyAt_; }

private:
    int dataLeft_ = 0;
    bool ready_ = false;
    size_t messages_ = 0;
    int64_t readyAt_ = -1;
};
