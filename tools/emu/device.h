// The device: plays a Trelvane's side of an installation on the line and
// judges what the updater sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/emu/line.h"
#include "tools/emu/noise.h"
#include "tools/emu/options.h"
#include "tools/emu/verdict.h"

// How the exchange ended.
enum class End {
    Done,    // the updater sent its final bytes
    Closed,  // the updater closed the line first
    HungUp,   // we hung up (--hangup-after)
    Stopped,  // we stopped reading (--stop-at)
};

class Device {
public:
    Device(const Options& o, Line& line);

    // The whole session, from making the line to the verdict; returns the
    // exit status.
    int run();

private:
    bool loadExpected();
    bool openRecord();

    // The device's side of the exchange (script.cpp). Returns at the first
    // step that fails.
    End exchange();
    // --announce-every: announce until the offer comes, into offer.
    bool announceUntilOffer(const unsigned char announce[HEADER_SIZE],
                            unsigned char offer[HEADER_SIZE]);
    bool awaitOffer(const unsigned char announce[HEADER_SIZE], unsigned char window[HEADER_SIZE],
                    uint64_t& announces, uint64_t& before);
    bool isOffer(const unsigned char frame[HEADER_SIZE]) const;
    // --silent: count what comes in until the updater gives up.
    End listen();
    // After the final bytes: wait for the updater to let go of the line.
    End linger();
    // The one ending for every way the exchange can end.
    int finish(End end);

    // The steps' transfers. Each returns false at a failure and leaves the
    // reason in end_.
    // Exactly n bytes; dst may be null. firstAt: when the first of them was
    // read (it cannot have come in later).
    bool take(unsigned char* dst, size_t n, int64_t* firstAt = nullptr);
    // heard: whether the bytes went on the line. Before any updater has set
    // the line up (only with --announce-every) nobody may hold it, and
    // bytes sent then are lost, as on a wire nobody listens to.
    bool put(const unsigned char* p, size_t n, bool* heard = nullptr);
    bool putNoise(uint64_t n, unsigned char forbidden);
    bool putChatter(unsigned char forbidden);
    // Whatever comes in before `deadline`; Got::Closed also when we hang up.
    Got takeSome(int64_t deadline);
    Got takeInto(unsigned char* buf, size_t want, int64_t deadline, size_t& got);
    void note(const unsigned char* p, size_t n);  // record and verdict
    void record(const unsigned char* p, size_t n);
    // What --hangup-after or --stop-at still allows in.
    uint64_t bytesLeft() const;
    // True, with end_ set, once they allow no more.
    bool atLimit();

    void announceFrame(unsigned char frame[HEADER_SIZE]) const;

    const Options& opt_;
    Line& line_;
    Verdict verdict_;
    Rng rng_;
    int record_ = -1;
    End end_ = End::Done;
    std::vector<unsigned char> scratch_;
};
