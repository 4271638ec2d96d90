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

#include <cstdio>

#include "tools/emu/device.h"
#include "tools/emu/link.h"
#include "tools/emu/signals.h"

int main(int argc, char** argv)
{
    const Options opt = parseOptions(argc, argv);
    if (!setLinkPath(opt.link))
        usage("--link path too long");
    if (!linkPathIsOurs())
        return 2;

    catchSignals();

    Line line(opt.baud);
    Device device(opt, line);
    int status = device.run();
    removeLink();
    fflush(stdout);
    return status;
}
