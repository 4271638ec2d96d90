// The device's side of the exchange: it announces itself, answers the
// offer, signals ready, and takes the loader and every chunk with sync
// bytes, with the faults it is told to make; and the session around it.

#include <algorithm>
#include <csignal>
#include <fstream>

#include <sys/signalfd.h>

#include "tools/emu/device.h"
#include "tools/emu/log.h"

using namespace device;

namespace {

// The device starts taking the loader a second after its ready message and
// starts the loader itself a second later: the loader's first byte and the
// first byte after it must come no sooner than these after ready.
const int64_t LOADER_PAUSE_NS = 1000 * NS_PER_MS;
const int64_t AFTER_LOADER_PAUSE_NS = 2000 * NS_PER_MS;

// The device's two replies to the offer come this far apart, and each sync
// byte this long after its chunk (longer with a delay there): an updater
// that does not wait is caught.
const int64_t REPLY_GAP_NS = 30 * NS_PER_MS;
const int64_t SYNC_GAP_NS = 5 * NS_PER_MS;

// How long the line must stay quiet, once a send has found it closed, before
// what the updater wrote is taken as all in.
const int64_t DRAIN_NS = 100 * NS_PER_MS;

// sysexits.h's EX_NOINPUT; a bad command line is USAGE_STATUS (tools/cli/args.h).
const int NO_FILE_STATUS = 66;

// SIGTERM and SIGINT end the emulator at once (main()) until this: then they
// only make the returned descriptor readable.
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

int Device::run()
{
    // A file or port that cannot be opened has a status of its own, apart
    // from every verdict on the line.
    if (!line_.open() || (!opt_.expect.empty() && !verdict_.expect(opt_.expect, opt_.announce)))
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
    if (opt_.silent && take(nullptr, SIZE_MAX) != Got::Data)  // count until the updater gives up
        return end_;

    unsigned char msg[MESSAGE];
    if (opt_.announceEveryMs) {
        if (!announceUntilOffer())
            return end_;
    } else {
        if (!speak(Point::Announce, opt_.announce, MESSAGE))
            return end_;
        announces_ = 1;
        say("sent announce %s", hex(opt_.announce, MESSAGE).c_str());
        if (take(msg, MESSAGE) != Got::Data)
            return end_;
    }
    say("got offer %s", hex(verdict_.received().data(), MESSAGE).c_str());
    heard_ = Heard();

    // Two replies once the user has chosen: the updater does not read them,
    // but its go-ahead must wait for two messages, counted as it reads them in
    // what the device sent since the offer. A device that announces until
    // answered may have an announce still on its way, which the updater rightly
    // counts as the first reply: an early go-ahead fails where it announced once.
    const unsigned char replies[2][MESSAGE] = {{0xF1, 0, 0, 0, 0}, {0xF2, 0, 0, 0, 0}};
    Answer go;
    if (!speak(Point::Reply1, replies[0], MESSAGE, 0, 0, &go) ||
        !speak(Point::Reply2, replies[1], MESSAGE, 0, REPLY_GAP_NS, &go))
        return end_;
    if (go.in && go.heard < 2 && announces_ == 1) {
        verdict_.early();
        say("got %02X with %zu of the device's messages sent since the offer: the go-ahead "
            "came too soon", go.byte, go.heard);
    }
    say("sent 2 replies");
    msg[0] = go.byte;
    if (take(msg + go.in, MESSAGE - go.in) != Got::Data)
        return end_;
    say("got go-ahead %s", hex(msg, MESSAGE).c_str());

    // The pauses count from the first ready message the updater can have read:
    // the first valid one after the two it takes for replies, which a stray may
    // bring before the device's own (or, should none be valid, from now).
    const unsigned char ready[MESSAGE] = {READY, 0, 0, 0, 0};
    if (!speak(Point::Ready, ready, MESSAGE))
        return end_;
    say("sent ready");
    int64_t readyAt = heard_.readyAt() >= 0 ? heard_.readyAt() : nowNs(), at = 0;

    unsigned char loader[LOADER];
    if (take(loader, LOADER, -1, &at) != Got::Data || !speak(Point::Loader, nullptr, 0))
        return end_;
    int chunks = std::max(0, chunksIn(loader));
    say("got loader, %d chunks", chunks);
    verdict_.checkPause("loader", at - readyAt, LOADER_PAUSE_NS);

    // Each chunk but the last is acknowledged with the sync byte, which the
    // updater answers with one byte of its own: early unless the device has
    // sent something since the chunk began. --prompt-sync sends the sync
    // byte once the chunk's first byte is in, else it comes after the chunk.
    for (int k = 1; k <= chunks; ++k) {
        bool syncs = k < chunks;
        if (take(nullptr, 1, -1, k == 1 ? &at : nullptr) != Got::Data)
            return end_;
        uint64_t sentBefore = sent_;
        if ((opt_.promptSync && syncs && !speak(Point::Sync, &opt_.sync, 1, k)) ||
            take(nullptr, (k == 1 ? FIRST_CHUNK : LATER_CHUNK) - 1) != Got::Data)
            return end_;
        say("got chunk %d of %d", k, chunks);
        if (k == 1)
            verdict_.checkPause("first block", at - readyAt, AFTER_LOADER_PAUSE_NS);
        if (!syncs)
            break;
        Answer answer;
        if (!opt_.promptSync && !speak(Point::Sync, &opt_.sync, 1, k, SYNC_GAP_NS, &answer))
            return end_;
        if (answer.in && answer.sent == sentBefore) {
            verdict_.early();
            say("got %02X after chunk %d with nothing sent since it began: the updater did not "
                "wait for the sync byte", answer.byte, k);
        }
        if (!answer.in && take(&answer.byte, 1) != Got::Data)
            return end_;
        say("got sync %02X", answer.byte);
    }

    unsigned char last[3];
    if (take(last, sizeof last, -1, chunks == 0 ? &at : nullptr) != Got::Data)
        return end_;
    say("got final bytes %s", hex(last, sizeof last).c_str());
    if (chunks == 0)
        verdict_.checkPause("final bytes", at - readyAt, AFTER_LOADER_PAUSE_NS);
    return linger();
}

bool Device::speak(Point p, const unsigned char* msg, size_t n, int chunk, int64_t least,
                   Answer* answer)
{
    // Noise, the bytes before the message, the message, its copies, the bytes
    // behind it: one write unless a split cuts the message (cuts: where, and
    // the pause after). Noise never holds what the updater awaits there: an
    // announce (noise has none) or, while it awaits replies or ready, a ready.
    bool readyAwaited = p == Point::Reply1 || p == Point::Reply2 || p == Point::Ready;
    std::string where = p == Point::Sync ? " after chunk " + std::to_string(chunk) : "";
    std::vector<unsigned char> out, before, behind;
    std::vector<std::pair<size_t, int64_t>> cuts;
    std::vector<std::string> told;  // a line for each fault, once all is sent
    int64_t delay = 0, copies = 1;
    for (const Fault& f : opt_.faults) {
        if (f.point != p || (f.chunk != 0 && f.chunk != static_cast<uint64_t>(chunk)))
            continue;
        told.push_back(f.text + where);
        if (f.noise) {  // its first 16 bytes logged: at a sync point, the updater's sync byte
            size_t from = out.size(), shown = std::min<size_t>(f.noise, 16);
            addNoise(rng_, out, f.noise, readyAwaited ? READY : ANNOUNCE);
            told.back() += ": " + hex(&out[from], shown) + (f.noise > shown ? " ..." : "");
        }
        delay += static_cast<int64_t>(f.delayMs) * NS_PER_MS;
        before.insert(before.end(), f.before.begin(), f.before.end());
        copies += f.again;
        behind.insert(behind.end(), f.bytes.begin(), f.bytes.end());
        if (f.cut)
            cuts.push_back({f.cut, static_cast<int64_t>(f.pauseMs) * NS_PER_MS});
    }
    out.insert(out.end(), before.begin(), before.end());
    for (auto& cut : cuts)  // from the message's start
        cut.first += out.size();
    while (copies-- > 0)
        out.insert(out.end(), msg, msg + n);
    out.insert(out.end(), behind.begin(), behind.end());
    cuts.push_back({out.size(), 0});
    std::sort(cuts.begin(), cuts.end());

    int64_t wait = std::max(least, delay);
    size_t from = 0;
    for (const auto& cut : cuts) {
        int64_t until = nowNs() + wait;
        Got g = answer && !answer->in && wait > 0 ? take(&answer->byte, 1, until) : Got::Timeout;
        if (g == Got::Closed)
            return false;
        if (g == Got::Data)
            *answer = {true, answer->byte, heard_.messages(), sent_};
        sleepNs(until - nowNs());
        if (!put(out.data() + from, cut.first - from))
            return false;
        from = cut.first;
        wait = cut.second;
    }
    for (const std::string& line : told)
        say("sent fault %s", line.c_str());
    if (p == Point::Sync)
        say("sent sync%s", where.c_str());
    return true;
}

// --announce-every: announces until the offer comes, taking a byte at a time
// so as to take none past it. The bytes before it are recorded, but the
// verdict and every count start with the offer: with --expect, the exact
// offer a correct updater sends; otherwise (or when it should send none)
// anything shaped like one: the announce's code and four 7-bit bytes.
bool Device::announceUntilOffer()
{
    const std::vector<unsigned char>& want = verdict_.expected();
    auto offerIn = [&]() {
        if (before_.size() < MESSAGE)
            return false;
        const unsigned char* last = &before_[before_.size() - MESSAGE];
        if (want.size() >= MESSAGE)
            return std::equal(last, last + MESSAGE, want.begin());
        auto data = [](unsigned char b) { return b <= DATA_MOST; };
        return last[0] == ANNOUNCE && std::all_of(last + 1, last + MESSAGE, data);
    };
    for (int64_t next = nowNs(); !offerIn();) {
        if (nowNs() >= next) {
            if (!speak(Point::Announce, opt_.announce, MESSAGE))
                break;
            ++announces_;
            next = nowNs() + static_cast<int64_t>(opt_.announceEveryMs) * NS_PER_MS;
        }
        unsigned char b;
        if (take(&b, 1, next) == Got::Closed)  // --stop-at 0,hangup: after the first announce
            break;
    }
    counting_ = offerIn();
    size_t offerAt = before_.size() - (counting_ ? MESSAGE : 0);
    say("sent %zu announces", announces_);
    say("%zu bytes before the offer", offerAt);
    verdict_.feed(before_.data() + offerAt, before_.size() - offerAt);
    before_.resize(offerAt);
    return counting_ && bytesLeft() > 0;
}

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
    int64_t at = nowNs();  // the earliest the updater can read any of them
    if (line_.send(p, n) || !line_.settingsSeen()) {
        sent_ += n;
        heard_.feed(p, n, at);
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
