// trelvane-emu: plays a Trelvane device on a fresh pseudo-terminal, named on
// its first line (or on --port), logs every step on stdout ("emu: ..." lines,
// flushed one by one so a test can follow along), and at the end says how
// many bytes came in and, with --expect, whether they are exactly what a
// correct updater sends for the given image.

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <vector>

#include <sys/signalfd.h>
#include <unistd.h>

#include "tools/emu/line.h"
#include "tools/emu/log.h"
#include "tools/emu/options.h"
#include "tools/emu/verdict.h"
#include "tools/cli/rng.h"

using namespace device;

namespace {

// The device needs a second after its ready message to start taking the
// loader, and another second after the loader to start the loader itself:
// the first loader byte must not come in sooner than the first of these
// after ready, nor the first byte after the loader sooner than the second.
const int64_t LOADER_PAUSE_NS = 1000 * NS_PER_MS;
const int64_t AFTER_LOADER_PAUSE_NS = 2000 * NS_PER_MS;

// The device's two replies to the offer come this far apart, and each sync
// byte this long after its chunk: an updater that does not wait is caught.
const int64_t REPLY_GAP_NS = 30 * NS_PER_MS;
const int64_t SYNC_GAP_NS = 5 * NS_PER_MS;

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

enum class End {
    Done,     // the updater sent its final bytes
    Closed,   // the updater closed the line first
    HungUp,   // we hung up (--stop-at N,hangup)
    Stopped,  // we stopped reading and hold the line (--stop-at N,hold)
};

class Device {
public:
    Device(const Options& o, Line& line)
        : opt_(o), line_(line), counting_(o.announceEveryMs == 0), rng_(o.seed),
          announce_(o.announce)
    {
    }

    int run();  // the whole session; returns the exit status

private:
    End exchange();  // the device's side, step by step, to the first that fails
    bool announceUntilOffer();
    bool putNoise(uint64_t n, unsigned char forbidden);
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
    // with --announce-every) bytes sent to nobody are lost, as on a wire;
    // that ends nothing.
    bool put(const unsigned char* p, size_t n);
    uint64_t bytesLeft();  // what --stop-at still allows in; at 0, end_ says how it ends

    const Options& opt_;
    Line& line_;
    Verdict verdict_;
    bool counting_;
    std::vector<unsigned char> before_;  // what came in before the offer, for --record
    End end_ = End::Done;
    std::vector<unsigned char> scratch_ = std::vector<unsigned char>(64 * 1024);
    size_t announces_ = 0;
    Rng rng_;
    const unsigned char* announce_;
};

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
    if (line_.send(p, n) || !line_.settingsSeen())
        return true;
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

End Device::exchange()
{
    // With --announce-every the device speaks without waiting for the line
    // settings, which are then looked at along the way.
    if (!opt_.announceEveryMs)
        line_.awaitSettings();
    if (opt_.stop == Stop::Hold && opt_.stopAt == 0)  // not a byte read, nor a word said
        return End::Stopped;
    if (opt_.silent) {  // count what comes in until the updater gives up
        take(nullptr, SIZE_MAX);
        return end_;
    }

    if (!putNoise(opt_.noiseBeforeAnnounce, ANNOUNCE))
        return end_;
    unsigned char msg[MESSAGE];
    if (opt_.announceEveryMs) {
        if (!announceUntilOffer())
            return end_;
    } else {
        if (!put(announce_, MESSAGE))
            return end_;
        announces_ = 1;
        say("sent announce %s", hex(announce_, MESSAGE).c_str());
        if (take(msg, MESSAGE) != Got::Data)
            return end_;
    }
    say("got offer %s", hex(verdict_.received().data(), MESSAGE).c_str());

    // Two replies once the user has chosen; the updater does not look at
    // what they say, but its go-ahead must wait for both. A device that
    // announces until answered may have a later announce still on its way,
    // which the updater rightly counts as the first reply: a go-ahead before
    // the second reply fails the run where the device announced only once.
    const unsigned char replies[2][MESSAGE] = {{0xF1, 0, 0, 0, 0}, {0xF2, 0, 0, 0, 0}};
    if (!put(replies[0], MESSAGE))
        return end_;
    Got g = take(msg, 1, nowNs() + REPLY_GAP_NS);
    if (g == Got::Closed)
        return end_;
    size_t early = g == Got::Data ? 1 : 0;
    if (early && announces_ == 1) {
        verdict_.early();
        say("got %02X before the second reply was sent: the go-ahead came too soon", msg[0]);
    }
    if (!put(replies[1], MESSAGE))
        return end_;
    say("sent 2 replies");
    if (take(msg + early, MESSAGE - early) != Got::Data)
        return end_;
    say("got go-ahead %s", hex(msg, MESSAGE).c_str());

    // Nobody can have read the ready message before it was sent.
    const unsigned char ready[MESSAGE] = {READY, 0, 0, 0, 0};
    if (!putNoise(opt_.noiseBeforeReady, READY))
        return end_;
    int64_t readyAt = nowNs();
    if (!put(ready, MESSAGE))
        return end_;
    say("sent ready");

    unsigned char loader[LOADER];
    int64_t at = 0;
    if (take(loader, LOADER, -1, &at) != Got::Data)
        return end_;
    int chunks = std::max(0, chunksIn(loader));
    say("got loader, %d chunks", chunks);
    verdict_.checkPause("loader", at - readyAt, LOADER_PAUSE_NS);
    for (int k = 1; opt_.earlySync && k < chunks; ++k)
        if (!put(&opt_.sync, 1))
            return end_;

    // Each chunk but the last is acknowledged with the sync byte, which the
    // updater answers with one byte of its own.
    for (int k = 1; k <= chunks; ++k) {
        if (take(nullptr, k == 1 ? FIRST_CHUNK : LATER_CHUNK, -1, k == 1 ? &at : nullptr) !=
            Got::Data)
            return end_;
        say("got chunk %d of %d", k, chunks);
        if (k == 1)
            verdict_.checkPause("first block", at - readyAt, AFTER_LOADER_PAUSE_NS);
        if (k == chunks)
            break;
        unsigned char answer;
        g = Got::Timeout;
        if (!opt_.earlySync) {
            g = take(&answer, 1, nowNs() + SYNC_GAP_NS);
            if (g == Got::Closed)
                return end_;
            if (g == Got::Data) {
                verdict_.early();
                say("got %02X after chunk %d before the sync byte was sent: the updater did "
                    "not wait for it", answer, k);
            }
            if (!put(&opt_.sync, 1))
                return end_;
            say("sent sync after chunk %d", k);
        }
        if (g != Got::Data && take(&answer, 1) != Got::Data)
            return end_;
        say("got sync %02X", answer);
    }

    unsigned char last[3];
    if (take(last, sizeof last, -1, chunks == 0 ? &at : nullptr) != Got::Data)
        return end_;
    say("got final bytes %s", hex(last, sizeof last).c_str());
    if (chunks == 0)
        verdict_.checkPause("final bytes", at - readyAt, AFTER_LOADER_PAUSE_NS);
    return linger();
}

// --announce-every: announces until the offer comes, taking a byte at a time
// so that not a byte past the offer is taken here. The bytes before it are
// recorded, but the verdict and every count start with the offer: with
// --expect, the exact offer a correct updater sends; otherwise (or when it
// should send none) anything shaped like one: the announce's code, which the
// offer carries too, and four 7-bit bytes.
bool Device::announceUntilOffer()
{
    const std::vector<unsigned char>& want = verdict_.expected();
    auto offerIn = [&](const std::vector<unsigned char>& got) {
        if (got.size() < MESSAGE)
            return false;
        const unsigned char* last = &got[got.size() - MESSAGE];
        if (want.size() >= MESSAGE)
            return std::equal(last, last + MESSAGE, want.begin());
        auto data = [](unsigned char b) { return b <= DATA_MOST; };
        return last[0] == ANNOUNCE && std::all_of(last + 1, last + MESSAGE, data);
    };
    for (int64_t next = nowNs(); !offerIn(before_);) {
        if (nowNs() >= next) {
            if (!put(announce_, MESSAGE))
                break;
            ++announces_;
            next = nowNs() + static_cast<int64_t>(opt_.announceEveryMs) * NS_PER_MS;
        }
        unsigned char b;
        if (take(&b, 1, next) == Got::Closed)  // --stop-at 0,hangup: after the first announce
            break;
    }
    bool found = offerIn(before_);
    size_t offerAt = before_.size() - (found ? MESSAGE : 0);
    say("sent %zu announces", announces_);
    say("%zu bytes before the offer", offerAt);
    counting_ = found;
    verdict_.feed(before_.data() + offerAt, before_.size() - offerAt);
    before_.resize(offerAt);
    return found && bytesLeft() > 0;
}

// n random bytes with plenty of code bytes (0xF0-0xFE) in them, never
// `forbidden`, the one the updater is waiting for, and so void and foreign
// messages among them; then four zero bytes, so that a code byte near the
// end makes a complete (void) message of its own instead of swallowing the
// start of the real message that follows.
bool Device::putNoise(uint64_t n, unsigned char forbidden)
{
    if (n == 0)
        return true;
    std::vector<unsigned char> noise;
    while (noise.size() < n) {
        uint32_t r = rng_.next();
        unsigned char b = (r & 7) == 0 ? 0xF0 + (r >> 8) % 15 : (r >> 8) % 0xF0;
        if (b != forbidden)
            noise.push_back(b);
    }
    noise.insert(noise.end(), 4, 0);
    if (!put(noise.data(), noise.size()))
        return false;
    say("sent %zu noise bytes", noise.size() - 4);
    return true;
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

} // namespace

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
