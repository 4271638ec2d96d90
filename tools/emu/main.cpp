// trelvane-emu: plays a Trelvane device on a fresh pseudo-terminal, named on
// its first line (or on --port), logs every step on stdout ("emu: ..." lines,
// flushed one by one so a test can follow along), and at the end says how
// many bytes came in and, with --expect, whether they are exactly what a
// correct updater sends for the given image.

#include <algorithm>
#include <csignal>
#include <fstream>

#include <sys/signalfd.h>
#include <unistd.h>

#include "tools/emu/device.h"
#include "tools/emu/log.h"

namespace {

// How long the line must stay quiet, once a send has found it closed, before
// what the updater wrote is taken as all in.
const int64_t DRAIN_NS = 100 * NS_PER_MS;

// sysexits.h's EX_NOINPUT; a bad command line is USAGE_STATUS (tools/cli/args.h).
const int NO_FILE_STATUS = 66;

// SIGTERM and SIGINT end the emulator at once, with status 1, until
// deferSignals(): then they only make the returned descriptor readable.
void onSignal(int)
{
    _exit(1);
}

int deferSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, SFD_CLOEXEC);
}

} // namespace

uint64_t Device::bytesLeft()
{
    if (opt_.stop == Stop::Never)
        return UINT64_MAX;
    if (opt_.stopAt > verdict_.total())
        return opt_.stopAt - verdict_.total();
    end_ = opt_.stop == Stop::HangUp ? End::HungUp : End::Stopped;
    return 0;
}

Got Device::take(unsigned char* dst, size_t n, int64_t deadline, int64_t* firstAt)
{
    for (bool first = true; n > 0; first = false) {
        uint64_t left = bytesLeft();
        if (left == 0)
            return Got::Closed;
        unsigned char* buf = dst ? dst : scratch_.data();
        size_t got = 0;
        Got g = line_.receive(buf, std::min<uint64_t>({n, dst ? n : scratch_.size(), left}),
                              deadline, got);
        if (g == Got::Closed)
            end_ = End::Closed;
        if (g != Got::Data)
            return g;
        if (first && firstAt)
            *firstAt = nowNs();
        if (counting_)
            verdict_.feed(buf, got);
        else
            before_.insert(before_.end(), buf, buf + got);
        dst = dst ? dst + got : nullptr;
        n -= got;
    }
    return bytesLeft() == 0 ? Got::Closed : Got::Data;
}

bool Device::put(const unsigned char* p, size_t n)
{
    if (line_.send(p, n) || !line_.settingsSeen()) {
        sent_ += n;
        heard_.feed(p, n);
        return true;
    }
    end_ = End::Closed;
    for (uint64_t before = UINT64_MAX; before != verdict_.total();) {
        before = verdict_.total();
        if (take(nullptr, SIZE_MAX, nowNs() + DRAIN_NS) != Got::Timeout)
            break;
    }
    return false;
}

int Device::run()
{
    // A file or port that cannot be opened has a status of its own, apart
    // from every verdict on the line.
    if (!line_.open() || (!opt_.expect.empty() && !verdict_.expect(opt_.expect, announce_)))
        return NO_FILE_STATUS;
    int status = finish(exchange());
    before_.insert(before_.end(), verdict_.received().begin(), verdict_.received().end());
    std::ofstream record(opt_.record, std::ios::binary);
    if (opt_.record.empty() ||
        record.write(reinterpret_cast<const char*>(before_.data()), before_.size()).flush())
        return status;
    fprintf(stderr, "trelvane-emu: cannot write %s\n", opt_.record.c_str());
    return NO_FILE_STATUS;
}

End Device::linger()
{
    size_t before = verdict_.total();
    Got g = take(nullptr, SIZE_MAX, nowNs() + static_cast<int64_t>(opt_.lingerMs) * NS_PER_MS);
    if (g == Got::Closed && end_ != End::Closed)
        return end_;
    if (verdict_.total() > before)  // the updater must send no more
        say("got %zu bytes after the final bytes", verdict_.total() - before);
    say(g == Got::Closed ? "line closed by updater" : "updater still holds the line");
    return End::Done;
}

int Device::finish(End end)
{
    if (end == End::HungUp) {
        line_.settle();
        line_.close();
        say("hung up after %zu bytes", verdict_.total());
    } else if (end == End::Closed) {
        say("line closed by updater after %zu bytes", verdict_.total());
    } else if (end == End::Stopped) {
        // From here a signal ends the hold instead of the program, and the
        // message below is what a test waits for before it pulls the line.
        int wake = deferSignals();
        say("stopped reading at %zu bytes", verdict_.total());
        if (line_.hold(wake))
            say("line closed by updater");
    }
    verdict_.print();
    line_.close();
    if (end == End::HungUp || end == End::Stopped)
        return 3;
    bool right = (end == End::Closed ? !opt_.silent && verdict_.exact()
                                     : !verdict_.expecting() || verdict_.exact()) &&
                 verdict_.timely();
    return end == End::Closed ? (right ? 2 : 1) : (right ? 0 : 1);
}

int main(int argc, char** argv)
{
    const Options opt = parseOptions(argc, argv);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    signal(SIGPIPE, SIG_IGN);
    Line line(opt.baud, opt.port);
    int status = Device(opt, line).run();
    fflush(stdout);
    return status;
}
