// The emulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/emu/codes.h"
#include "tools/emu/faults.h"

// What the device does once --stop-at's count of bytes has come in.
enum class Stop { Never, HangUp, Hold };

struct Options {
    std::string port;  // an existing serial port instead of a fresh pseudo-terminal
    unsigned char announce[5] = {device::ANNOUNCE, 3, 1, 1, 70};  // hardware A, B, version
    uint64_t seed = 1;  // of the noise faults' random bytes
    unsigned char sync = device::SYNC;
    Stop stop = Stop::Never;
    uint64_t stopAt = 0;
    bool promptSync = false, silent = false;
    uint64_t baud = 0, lingerMs = 10000;
    uint64_t announceEveryMs = 0;  // 0: announce once, when the line is set
    std::string record, expect;
    std::vector<Fault> faults;
};

// Exits with USAGE_STATUS and the usage on stderr on a bad command line, and
// with status 0 and the usage on stdout for --help (tools/cli/args.h).
Options parseOptions(int argc, char** argv);
