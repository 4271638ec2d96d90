#include "tools/emu/options.h"

#include <cstdio>
#include <cstdlib>

#include "tools/cli/args.h"

namespace {

// Generous caps: they only keep a mistyped number from asking for gigabytes.
const uint64_t MAX_NOISE = 64ull * 1024 * 1024;
const uint64_t MAX_BAUD = 100000000;
const uint64_t MAX_MS = 24ull * 3600 * 1000;

const char USAGE[] =
    "usage: trelvane-emu [--port TTY] [options]\n"
    "  the device's line is a new pseudo-terminal, named on the first line\n"
    "  --port TTY                   play the device on an existing serial port, set raw\n"
    "                               at 115200 8N1; the updater's own settings cannot be\n"
    "                               seen there, and only a hang-up of TTY shows that\n"
    "                               the line is gone\n"
    "  --hw A,B                     hardware codes announced, decimal, each 0 to 127\n"
    "                               (default 3,1)\n"
    "  --version M.m                version announced, each part 0 to 127, e.g. 1.70\n"
    "                               (default 1.70)\n"
    "  --announce-every MS          announce at once, without waiting for the line\n"
    "                               settings, and again every MS ms until the offer\n"
    "                               comes; bytes before the offer are counted and left\n"
    "                               out of the verdict and of the counts below\n"
    "  --noise-before-announce N    N random bytes, void and foreign messages among\n"
    "  --noise-before-ready N       them, before the announce or the ready message\n"
    "  --seed S                     seed of the random bytes (default 1)\n"
    "  --sync HEX                   byte sent after each chunk but the last (default A5)\n"
    "  --stop-at N,MODE             stop reading once N bytes have come in; hangup: wait\n"
    "                               until the updater stops sending, hang up (N = 0:\n"
    "                               after the announce); hold: say so, then read and\n"
    "                               send nothing until the updater closes the line or\n"
    "                               SIGTERM/SIGINT comes (N = 0: before the announce)\n"
    "  --prompt-sync                send each sync byte as soon as the first byte of\n"
    "                               its chunk is in, so that the updater never waits\n"
    "                               to read one\n"
    "  --fault POINT:KIND           a device fault, repeatable. POINT: announce,\n"
    "                               reply1, reply2, ready (its messages), loader (once\n"
    "                               the loader is in), sync (every sync byte) or syncK\n"
    "                               (the one after chunk K, from 1). KIND: bytes=HEX\n"
    "                               (these bytes, e.g. FF00, behind the message in the\n"
    "                               same write), again (the message or sync byte once\n"
    "                               more, in the same write) or delay=MS (wait MS ms\n"
    "                               before it); loader takes bytes only. At one point:\n"
    "                               delay, message, its copies, bytes; each fault sent\n"
    "                               is logged\n"
    "  --silent                     never answer; just count what comes in\n"
    "  --baud B                     take bytes in no faster than a B baud line\n"
    "  --linger MS                  after the final bytes, wait up to MS ms for the\n"
    "                               updater to let go of the line (default 10000)\n"
    "  --record FILE                write every byte received to FILE\n"
    "  --expect IMAGE               check the bytes received against IMAGE\n"
    "exit status: 0 a complete run, exact and in time; 2 the updater let go of\n"
    "  the line after exact bytes (a refusal); 3 --stop-at's end; 1 any other end;\n"
    "  64 a bad command line; 66 IMAGE, FILE or the port cannot be used\n";

// "A<sep>B" with both parts decimal, each a byte a device can announce.
bool parseBytePair(const std::string& s, char sep, unsigned char* pair)
{
    size_t at = s.find(sep);
    uint64_t x = 0, y = 0;
    if (at == std::string::npos || !parseDecimal(s.substr(0, at), device::DATA_MOST, x) ||
        !parseDecimal(s.substr(at + 1), device::DATA_MOST, y))
        return false;
    pair[0] = static_cast<unsigned char>(x);
    pair[1] = static_cast<unsigned char>(y);
    return true;
}

} // namespace

Options parseOptions(int argc, char** argv)
{
    Options o;
    Args a(argc, argv, "trelvane-emu", USAGE);
    while (a.next()) {
        const std::string& name = a.name();
        auto text = [&]() {
            std::string v = a.value();
            if (v.empty())
                a.fail("empty " + name);
            return v;
        };
        if (a.plain()) {
            a.fail("unknown argument " + name);
        } else if (name == "--port") {
            o.port = text();
        } else if (name == "--hw") {
            if (!parseBytePair(a.value(), ',', o.announce + 1))
                a.fail("--hw wants two decimal codes from 0 to 127, e.g. 3,1");
        } else if (name == "--version") {
            if (!parseBytePair(a.value(), '.', o.announce + 3))
                a.fail("--version wants M.m, each from 0 to 127, e.g. 1.70");
        } else if (name == "--noise-before-announce") {
            o.noiseBeforeAnnounce = a.number(MAX_NOISE);
        } else if (name == "--noise-before-ready") {
            o.noiseBeforeReady = a.number(MAX_NOISE);
        } else if (name == "--seed") {
            o.seed = a.number(UINT64_MAX);
        } else if (name == "--sync") {
            if (!parseHexByte(a.value(), o.sync))
                a.fail("--sync wants one hex byte, e.g. A5");
        } else if (name == "--stop-at") {
            std::string v = a.value();
            size_t comma = v.find(',');
            std::string mode = comma == std::string::npos ? "" : v.substr(comma + 1);
            o.stop = mode == "hangup" ? Stop::HangUp : mode == "hold" ? Stop::Hold : Stop::Never;
            if (o.stop == Stop::Never || !parseDecimal(v.substr(0, comma), UINT64_MAX, o.stopAt))
                a.fail("--stop-at wants N,hangup or N,hold");
        } else if (name == "--silent" || name == "--prompt-sync") {
            a.noValue();
            (name == "--silent" ? o.silent : o.promptSync) = true;
        } else if (name == "--fault") {
            o.faults.emplace_back();
            if (!parseFault(a.value(), o.faults.back()))
                a.fail("--fault wants POINT:KIND, e.g. reply1:again, sync2:bytes=FF00 or "
                       "ready:delay=500");
        } else if (name == "--baud") {
            o.baud = a.number(MAX_BAUD);
        } else if (name == "--announce-every") {
            o.announceEveryMs = a.number(MAX_MS);
            if (o.announceEveryMs == 0)
                a.fail("--announce-every wants at least 1 ms");
        } else if (name == "--linger") {
            o.lingerMs = a.number(MAX_MS);
        } else if (name == "--record") {
            o.record = text();
        } else if (name == "--expect") {
            o.expect = text();
        } else if (name == "--help" || name == "-h") {
            a.help();
        } else {
            a.fail("unknown argument " + name);
        }
    }
    if (o.announceEveryMs && o.silent)
        a.fail("--announce-every and --silent exclude each other");
    // The offer is only known once it is whole: a count inside it cannot be
    // kept to.
    if (o.announceEveryMs && o.stop != Stop::Never && o.stopAt > 0 && o.stopAt < 5)
        a.fail("with --announce-every, --stop-at takes 0 or at least 5");
    return o;
}
