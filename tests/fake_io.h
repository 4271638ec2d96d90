// A serial line in memory for the transfer and message tests: bytes to
// deliver, how many a call may move, and where the line fails.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/win.h"

namespace fake {

// Thrown by a read that finds no more scripted input: the real line would
// simply go on waiting for the device there. Hung: a wait that would never
// end (a flush of a queue that never empties, hours of pauses).
struct Starved {};
struct Hung {};

// How a driver ends a call that runs out of time, as each is reported to.
enum class Driver {
    SerialSys,  // TRUE, 0 bytes moved
    Ftdi,       // TRUE, the first half of what was asked moved and counted
    UsbSer,     // FALSE (ERROR_SEM_TIMEOUT), a count of 0, while the bytes went out
};

struct Line {
    std::string input;          // bytes the device has sent
    // What the device sends once the updater has written so many bytes, in order.
    std::vector<std::pair<size_t, std::string>> answers;
    std::string taken;          // what the updater read, as it read it
    size_t readPos = 0;
    size_t maxRead = 1 << 20;   // most bytes one ReadFile call delivers
    std::string cuts;           // when set, call k delivers at most 1 + cuts[k] % 8 bytes (cycling)
    size_t failReadAt = std::string::npos;   // ReadFile fails once readPos reaches this
    std::string output;         // bytes the updater wrote
    size_t maxWrite = 1 << 20;  // most bytes one WriteFile call accepts
    size_t failWriteAt = std::string::npos;  // WriteFile fails once output reaches this
    int timeOuts = 0;           // the first calls (reads and writes) run out of time...
    Driver driver = Driver::SerialSys;  // ...and end as this driver ends them
    int pauses = 0;             // Sleep calls that wait at all
    long slept = 0;             // their milliseconds
    // A driver that queues what is written and sends `sendsPerMs` bytes a
    // millisecond while the updater pauses; what it still holds at the
    // close is lost.
    bool queues = false;
    size_t sendsPerMs = 0, queued = 0, lostAtClose = 0;
    bool gone = false;          // ClearCommError says the line is lost
    int readCalls = 0, clearCalls = 0, writeCalls = 0;
};

// The line the platform calls work on; reset by each test.
extern Line line;

} // namespace fake
