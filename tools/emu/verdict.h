// The verdict on the bytes the updater sent: how many came in, whether each
// came no sooner than the device can take it and, with --expect, whether they
// are exactly what a correct updater sends for its image and this announce.
// Which hardware fits, the 9.99 claim and the order of the bytes are worked
// out here apart from the updater's code, so that one mistake cannot pass on
// both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/emu/codes.h"

class Verdict {
public:
    // Works out what a correct updater sends for the image at imagePath and
    // says it ("expecting N bytes", or why nothing); false when it is unread.
    bool expect(const std::string& imagePath, const unsigned char announce[device::MESSAGE]);
    bool expecting() const { return expecting_; }
    // Everything, offer to final bytes; empty when nothing should be sent.
    const std::vector<unsigned char>& expected() const { return want_; }

    // Every byte received, in order.
    void feed(const unsigned char* p, size_t n) { got_.insert(got_.end(), p, p + n); }
    const std::vector<unsigned char>& received() const { return got_; }
    size_t total() const { return got_.size(); }

    // Exactly the expected bytes, no more, no fewer.
    bool exact() const { return expecting_ && got_ == want_; }

    // A step the updater took sooner than a correct one can fails the
    // verdict. checkPause: `what` came `after` ns after the device's ready
    // message, `least` wanted (and says so when it came too soon).
    void early() { timely_ = false; }
    void checkPause(const char* what, int64_t after, int64_t least);
    bool timely() const { return timely_; }

    // "received N bytes" and, with --expect, how they compare.
    void print() const;

private:
    bool expecting_ = false;
    std::vector<unsigned char> want_, got_;
    bool timely_ = true;
};
