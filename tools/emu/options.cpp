#include "tools/emu/options.h"

#include "tools/cli/args.h"

namespace {

// A generous cap: it only keeps a mistyped number from meaning an absurd speed.
const uint64_t MAX_BAUD = 100000000;

const char USAGE[] =
    "usage: trelvane-emu [--port TTY] [options]\n"
    "  the device's line is a new pseudo-terminal, named on the first line\n"
    "  --port TTY           play the device on an existing serial port, set raw at\n"
    "                       115200 8N1; the updater's own settings cannot be seen\n"
    "                       there, and only a hang-up of TTY shows the line gone\n"
    "  --hw A,B             hardware codes announced, each 0 to 127 (default 3,1)\n"
    "  --version M.m        version announced, each part 0 to 127 (default 1.70)\n"
    "  --announce-every MS  announce at once, without waiting for the line settings,\n"
    "                       and again every MS ms until the offer comes; bytes before\n"
    "                       the offer are counted and left out of the verdict and of\n"
    "                       the counts below\n"
    "  --seed S             seed of the noise faults' bytes (default 1)\n"
    "  --sync HEX           byte sent after each chunk but the last (default A5)\n"
    "  --stop-at N,MODE     stop reading once N bytes have come in; hangup: wait\n"
    "                       until the updater stops sending, hang up (N = 0: after\n"
    "                       the announce); hold: say so, then read and send nothing\n"
    "                       until the updater closes the line or SIGTERM/SIGINT comes\n"
    "                       (N = 0: before the announce)\n"
    "  --prompt-sync        send each sync byte once the first byte of its chunk is\n"
    "                       in, so that the updater never waits to read one\n"
    "  --fault POINT:KIND   a device fault, repeatable. POINT: announce, reply1,\n"
    "                       reply2, ready (its messages), loader (once the loader is\n"
    "                       in), sync (every sync byte) or syncK (the one after chunk\n"
    "                       K, from 1). KIND, in the order they go out at a point, in\n"
    "                       one write: delay=MS (wait MS ms first), noise=N (N random\n"
    "                       bytes, void and foreign messages among them, never the\n"
    "                       code awaited there, then 4 zeros), before=HEX (these\n"
    "                       bytes, e.g. FF00), the message, again (it once more),\n"
    "                       bytes=HEX (these bytes behind it). split=K,MS (messages\n"
    "                       only): the message's first K bytes (1-4), MS ms, then the\n"
    "                       rest in a second write. The loader takes noise, before\n"
    "                       and bytes. Each fault sent is logged, noise with its\n"
    "                       first 16 bytes in hex and \"...\" if more (no zeros)\n"
    "  --silent             never answer; just count what comes in\n"
    "  --baud B             take bytes in no faster than a B baud line\n"
    "  --linger MS          after the final bytes, wait up to MS ms for the updater\n"
    "                       to let go of the line (default 10000)\n"
    "  --record FILE        write every byte received to FILE\n"
    "  --expect IMAGE       check the bytes received against IMAGE\n"
    "exit status: 0 a complete run, exact and in time; 2 the updater let go of the\n"
    "  line after exact bytes (a refusal); 3 --stop-at's end; 1 any other end; 64 a\n"
    "  bad command line; 66 IMAGE, FILE or the port cannot be used\n";

} // namespace

Options parseOptions(int argc, char** argv)
{
    Options o;
    Args a(argc, argv, "trelvane-emu", USAGE);
    while (a.next()) {
        const std::string& name = a.name();
        if (a.plain()) {
            a.fail("unknown argument " + name);
        } else if (name == "--port" || name == "--record" || name == "--expect") {
            std::string& to = name == "--port" ? o.port : name == "--record" ? o.record : o.expect;
            if ((to = a.value()).empty())
                a.fail("empty " + name);
        } else if (name == "--hw" || name == "--version") {  // bytes a device can announce
            bool hw = name == "--hw";
            uint64_t x, y;
            if (!parsePair(a.value(), hw ? ',' : '.', device::DATA_MOST, device::DATA_MOST, x, y))
                a.fail(hw ? "--hw wants two decimal codes from 0 to 127, e.g. 3,1"
                          : "--version wants M.m, each from 0 to 127, e.g. 1.70");
            o.announce[hw ? 1 : 3] = static_cast<unsigned char>(x);
            o.announce[hw ? 2 : 4] = static_cast<unsigned char>(y);
        } else if (name == "--seed") {
            o.seed = a.number(UINT64_MAX);
        } else if (name == "--sync") {
            if (!parseHexByte(a.value(), o.sync))
                a.fail("--sync wants one hex byte, e.g. A5");
        } else if (name == "--stop-at") {
            std::string v = a.value();
            size_t comma = v.find(',');
            std::string mode = v.substr(comma + 1);  // without a comma, all of v: no mode
            o.stop = mode == "hangup" ? Stop::HangUp : mode == "hold" ? Stop::Hold : Stop::Never;
            if (o.stop == Stop::Never || !parseDecimal(v.substr(0, comma), UINT64_MAX, o.stopAt))
                a.fail("--stop-at wants N,hangup or N,hold");
        } else if (name == "--silent" || name == "--prompt-sync") {
            a.noValue();
            (name == "--silent" ? o.silent : o.promptSync) = true;
        } else if (name == "--fault") {
            o.faults.emplace_back();
            if (!parseFault(a.value(), o.faults.back()))
                a.fail("--fault wants POINT:KIND, e.g. reply1:again, sync2:bytes=FF00, "
                       "ready:noise=9 or ready:split=2,600");
        } else if (name == "--baud") {
            o.baud = a.number(MAX_BAUD);
        } else if (name == "--announce-every") {
            if ((o.announceEveryMs = a.number(MAX_MS)) == 0)
                a.fail("--announce-every wants at least 1 ms");
        } else if (name == "--linger") {
            o.lingerMs = a.number(MAX_MS);
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
