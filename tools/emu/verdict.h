// The verdict on the bytes the updater sent: how many came in and, with
// --expect, whether they are exactly what a correct updater sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/emu/expected.h"

class Verdict {
public:
    void expect(Expected e);
    bool expecting() const { return expecting_; }
    const Expected& expected() const { return expected_; }

    // Every byte received, in order.
    void feed(const unsigned char* p, size_t n);
    uint64_t total() const { return total_; }

    // Exactly the expected bytes, no more, no fewer.
    bool exact() const;

    // Bytes that came sooner after the device's ready message than the
    // device can take them: `what` came `after` ns after ready, `least` ns
    // wanted. Says so, and the verdict fails.
    void checkPause(const char* what, int64_t after, int64_t least);
    bool timely() const { return timely_; }

    // "received N bytes" and, with --expect, how they compare.
    void print() const;

private:
    bool expecting_ = false;
    Expected expected_;
    uint64_t total_ = 0;
    bool mismatch_ = false;
    uint64_t mismatchAt_ = 0;
    unsigned char mismatchGot_ = 0, mismatchWant_ = 0;
    bool timely_ = true;
};
