// The emulator's command line.
#pragma once

#include <cstdint>
#include <string>

#include "tools/emu/codes.h"

// What the device does once --stop-at's count of bytes has come in.
enum class Stop { Never, HangUp, Hold };

struct Options {
    std::string port;  // an existing serial port instead of a fresh pseudo-terminal
    unsigned hwA = 3, hwB = 1;
    unsigned verMajor = 1, verMinor = 70;
    uint64_t noiseBeforeAnnounce = 0;
    uint64_t noiseBeforeReady = 0;
    uint64_t seed = 1;
    unsigned char sync = device::SYNC;
    Stop stop = Stop::Never;
    uint64_t stopAt = 0;
    bool earlySync = false;
    bool silent = false;
    uint64_t baud = 0;
    uint64_t lingerMs = 10000;
    uint64_t announceEveryMs = 0;  // 0: announce once, when the line is set
    std::string record;
    std::string expect;
};

// Exits with USAGE_STATUS and the usage on stderr on a bad command line, and
// with status 0 and the usage on stdout for --help (tools/args.h).
Options parseOptions(int argc, char** argv);
