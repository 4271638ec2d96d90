// The device the emulator plays: its side of the exchange, step by step,
// and the session around it: the transfers, the end and the exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/emu/faults.h"
#include "tools/emu/line.h"
#include "tools/emu/options.h"
#include "tools/emu/verdict.h"

enum class End {
    Done,     // the updater sent its final bytes
    Closed,   // the updater closed the line first
    HungUp,   // we hung up (--stop-at N,hangup)
    Stopped,  // we stopped reading and hold the line (--stop-at N,hold)
};

// The updater's byte that came while the device waited to speak, and the
// device's messages since the offer (Heard) and bytes sent by then, to judge by.
struct Answer {
    bool in = false;
    unsigned char byte = 0;
    size_t heard = 0;
    uint64_t sent = 0;
};

class Device {
public:
    Device(const Options& o, Line& line) : opt_(o), line_(line) {}

    int run();  // the whole session; returns the exit status

private:
    End exchange();  // the device's side, step by step, to the first that fails
    bool announceUntilOffer();
    End linger();  // after the final bytes: until the updater lets go of the line
    int finish(End end);

    // Every transfer goes through these. take: n bytes into dst (null:
    // counted, not kept), counted from the offer on, never past --stop-at's
    // count. Data once all have come; Timeout when `deadline` (monotonic ns)
    // comes first; Closed once the exchange is over (end_ says how).
    // firstAt: when the first of them was read (it cannot have come in later).
    Got take(unsigned char* dst, size_t n, int64_t deadline = -1, int64_t* firstAt = nullptr);
    // put: all n bytes; false once the updater has closed the line, after
    // taking in what it wrote before it let go. Before the line is set (only
    // with --announce-every) bytes to nobody are lost, as on a wire, harmlessly.
    bool put(const unsigned char* p, size_t n);
    // speak: the device's message (n bytes; none after the loader) at point
    // p (chunk: the sync byte's) with the faults there, after a wait of at
    // least `least` ns or of the delays there; false once the exchange is over. Given an answer
    // not yet in, every wait, a split's too, takes in the updater's next
    // byte should it come meanwhile, for the caller to judge.
    bool speak(Point p, const unsigned char* msg, size_t n, int chunk = 0, int64_t least = 0,
               Answer* answer = nullptr);
    uint64_t bytesLeft();  // what --stop-at still allows in; at 0, end_ says how it ends

    const Options& opt_;
    Line& line_;
    Verdict verdict_;
    bool counting_ = opt_.announceEveryMs == 0;  // the verdict's bytes: from the offer on
    std::vector<unsigned char> before_;  // what came in before the offer, for --record
    End end_ = End::Done;
    std::vector<unsigned char> scratch_ = std::vector<unsigned char>(64 * 1024);
    size_t announces_ = 0;
    Rng rng_{opt_.seed};  // the noise faults'
    Heard heard_;        // the device's messages since the offer, as the updater reads them
    uint64_t sent_ = 0;  // every byte the device sent
};
