// Every transfer the device makes on its line, for every step alike: bytes
// taken in go to --record and into the verdict's count, never past a
// --hangup-after or --stop-at count, and a send that finds the line closed
// still takes in what the updater wrote before it let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/emu/line.h"
#include "tools/emu/options.h"
#include "tools/emu/verdict.h"

// How the exchange ended.
enum class End {
    Done,     // the updater sent its final bytes
    Closed,   // the updater closed the line first
    HungUp,   // we hung up (--hangup-after)
    Stopped,  // we stopped reading (--stop-at)
};

class Transport {
public:
    Transport(const Options& o, Line& line, Verdict& verdict);
    ~Transport();

    // Creates --record's file; false, with a message, when it cannot.
    bool openRecord();

    // Takes in n bytes into dst (null: counted, not kept). Data once all of
    // them have come; Timeout when `deadline` (monotonic ns, -1 for none)
    // comes first; Closed once the exchange is over, because the updater let
    // go of the line or a count was reached (end() says which). firstAt:
    // when the first of them was read (it cannot have come in later).
    Got take(unsigned char* dst, size_t n, int64_t deadline = -1, int64_t* firstAt = nullptr);

    // Sends all n bytes; false once the updater has closed the line. heard:
    // whether they went on the line. Before any updater has set the line up
    // (only with --announce-every) nobody may hold it, and bytes sent then
    // are lost, as on a wire nobody listens to; that does not end anything.
    bool put(const unsigned char* p, size_t n, bool* heard = nullptr);

    // Until this is called (with --announce-every: until the offer) bytes
    // taken in are recorded only; from here on they count, starting with the
    // n at p, taken already.
    void countFrom(const unsigned char* p, size_t n);

    // True, with end() set, once --hangup-after or --stop-at allows no more.
    bool atLimit();
    End end() const { return end_; }

private:
    // What --hangup-after or --stop-at still allows in.
    uint64_t bytesLeft() const;
    void record(const unsigned char* p, size_t n);

    const Options& opt_;
    Line& line_;
    Verdict& verdict_;
    bool counting_;
    int record_ = -1;
    End end_ = End::Done;
    std::vector<unsigned char> scratch_;
};
