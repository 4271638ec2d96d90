// trelvane-emu: plays a Trelvane device on a fresh pseudo-terminal named on
// its first line (or on --port), logs every step on stdout ("emu: ..." lines,
// flushed one by one so a test can follow along), and at the end says how many
// bytes came in and, with --expect, whether they are what a correct updater sends.

#include <csignal>

#include <unistd.h>

#include "tools/emu/device.h"

int main(int argc, char** argv)
{
    const Options opt = parseOptions(argc, argv);
    // SIGTERM and SIGINT end the emulator at once, with status 1, until the
    // device holds the line (--stop-at N,hold), which defers them.
    auto onSignal = [](int) { _exit(1); };
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);
    Line line(opt.baud, opt.port);
    return Device(opt, line).run();
}
