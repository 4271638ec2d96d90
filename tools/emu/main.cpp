// trelvane-emu: plays a Trelvane device on a pseudo-terminal.
//
// The updater is pointed at PATH, a symlink to the slave side of a fresh
// pseudo-terminal, and talks to it exactly as to a device on a serial port.
// The emulator answers from the master side, logs every step on stdout
// ("emu: ..." lines, flushed one by one so a test can follow along), and at
// the end says how many bytes came in and, with --expect, whether they are
// exactly what a correct updater sends for the given image.
//
// Usage: trelvane-emu --link PATH [options]   (see options.cpp)

#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "tools/emu/device.h"
#include "tools/emu/link.h"

namespace {

void onSignal(int)
{
    removeLink();
    _exit(1);
}

} // namespace

int main(int argc, char** argv)
{
    const Options opt = parseOptions(argc, argv);
    if (!setLinkPath(opt.link))
        usage("--link path too long");
    if (!linkPathIsOurs())
        return 2;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);

    Line line(opt.baud);
    Device device(opt, line);
    int status = device.run();
    removeLink();
    fflush(stdout);
    return status;
}
