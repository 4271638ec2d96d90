// trelvane-emu: plays a Trelvane device on a pseudo-terminal.
//
// The updater is pointed at the slave side of a fresh pseudo-terminal, named
// on the first line, and talks to it exactly as to a device on a serial port.
// The emulator answers from the master side, logs every step on stdout
// ("emu: ..." lines, flushed one by one so a test can follow along), and at
// the end says how many bytes came in and, with --expect, whether they are
// exactly what a correct updater sends for the given image.
//
// Usage: trelvane-emu [--port TTY] [options]   (see options.cpp)

#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/emu/codes.h"
#include "tools/emu/line.h"
#include "tools/emu/log.h"
#include "tools/emu/options.h"
#include "tools/emu/signals.h"
#include "tools/emu/transport.h"
#include "tools/emu/verdict.h"
#include "tools/rng.h"

namespace {

// The device needs a second after its ready message to start taking the
// loader, and another second after the loader to start the loader itself:
// the first loader byte must not come in sooner than the first of these
// after ready, nor the first byte after the loader sooner than the second.
const int64_t LOADER_PAUSE_NS = 1000 * NS_PER_MS;
const int64_t AFTER_LOADER_PAUSE_NS = 2000 * NS_PER_MS;

// The device's two replies to the offer come this far apart, so that an
// updater which sends its go-ahead after the first of them is caught: not a
// byte may come in before the second is sent.
const int64_t REPLY_GAP_NS = 30 * NS_PER_MS;

// Likewise before each sync byte: the updater's own sync byte must answer
// the device's, so none may come in this long after a chunk, before the
// device has sent its own.
const int64_t SYNC_GAP_NS = 5 * NS_PER_MS;

// sysexits.h's EX_NOINPUT; a bad command line is USAGE_STATUS (tools/args.h).
const int NO_FILE_STATUS = 66;

class Device {
public:
    Device(const Options& o, Line& line)
        : opt_(o), line_(line), t_(o, line, verdict_), rng_(o.seed),
          announce_{device::ANNOUNCE, static_cast<unsigned char>(o.hwA),
                    static_cast<unsigned char>(o.hwB), static_cast<unsigned char>(o.verMajor),
                    static_cast<unsigned char>(o.verMinor)}
    {
    }

    // The whole session, from making the line to the verdict; returns the
    // exit status.
    int run();

private:
    // The device's side of an installation, in the order the device plays
    // it. Returns at the first step that fails.
    End exchange();
    bool announceUntilOffer(unsigned char offer[HEADER_SIZE]);
    bool isOffer(const unsigned char frame[HEADER_SIZE]) const;
    bool putNoise(uint64_t n, unsigned char forbidden);
    bool putChatter(unsigned char forbidden);
    // --silent: count what comes in until the updater gives up.
    End listen();
    // After the final bytes: wait for the updater to let go of the line.
    End linger();
    // The one ending for every way the exchange can end.
    int finish(End end);

    const Options& opt_;
    Line& line_;
    Verdict verdict_;
    Transport t_;
    Rng rng_;
    const unsigned char announce_[HEADER_SIZE];
};

int Device::run()
{
    // A file or port that cannot be opened has a status of its own, apart
    // from every verdict on the line.
    if ((!opt_.expect.empty() && !verdict_.expect(opt_.expect, announce_)) ||
        !t_.openRecord() || !line_.open())
        return NO_FILE_STATUS;
    verdict_.sayExpected();
    return finish(opt_.silent ? listen() : exchange());
}

End Device::exchange()
{
    // With --announce-every the device speaks without waiting for the line
    // settings, which are then looked at along the way.
    if (!opt_.announceEveryMs)
        line_.awaitSettings();
    // --stop-at 0: not a byte read, nor a word said.
    if (opt_.stop && opt_.stopAt == 0)
        return End::Stopped;

    // Announce, after whatever noise and chatter was asked for.
    if (!putNoise(opt_.noiseBeforeAnnounce, device::ANNOUNCE) || !putChatter(device::ANNOUNCE))
        return t_.end();
    unsigned char msg[HEADER_SIZE];
    if (opt_.announceEveryMs) {
        if (!announceUntilOffer(msg))
            return t_.end();
    } else {
        if (!t_.put(announce_, HEADER_SIZE))
            return t_.end();
        say("sent announce %s", hex(announce_, HEADER_SIZE).c_str());
        if (t_.take(msg, HEADER_SIZE) != Got::Data)
            return t_.end();
    }
    say("got offer %s", hex(msg, HEADER_SIZE).c_str());

    // Two replies once the user has chosen; the updater does not look at
    // what they say, but its go-ahead must wait for both. With
    // --announce-every, announces still waiting to be read count as replies
    // too, and a go-ahead before the second is no fault.
    const unsigned char replies[2][HEADER_SIZE] = {{0xF1, 0, 0, 0, 0}, {0xF2, 0, 0, 0, 0}};
    if (!t_.put(replies[0], HEADER_SIZE))
        return t_.end();
    Got g = t_.take(msg, 1, nowNs() + REPLY_GAP_NS);
    if (g == Got::Closed)
        return t_.end();
    size_t early = g == Got::Data ? 1 : 0;
    if (early && !opt_.announceEveryMs)
        verdict_.early("got %02X before the second reply was sent: the go-ahead came too soon",
                       msg[0]);
    if (!t_.put(replies[1], HEADER_SIZE))
        return t_.end();
    say("sent 2 replies");
    if (t_.take(msg + early, HEADER_SIZE - early) != Got::Data)
        return t_.end();
    say("got go-ahead %s", hex(msg, HEADER_SIZE).c_str());

    const unsigned char ready[HEADER_SIZE] = {device::READY, 0, 0, 0, 0};
    if (!putNoise(opt_.noiseBeforeReady, device::READY) || !putChatter(device::READY) ||
        !t_.put(ready, HEADER_SIZE))
        return t_.end();
    int64_t readyAt = line_.lastWriteNs();
    say("sent ready");

    // The loader says how many chunks follow.
    unsigned char loader[LOADER_SIZE];
    int64_t at = 0;
    if (t_.take(loader, LOADER_SIZE, -1, &at) != Got::Data)
        return t_.end();
    int32_t chunks = chunkCount(loader);
    if (chunks < 0)
        chunks = 0;
    say("got loader, %d chunks", static_cast<int>(chunks));
    verdict_.checkPause("loader", at - readyAt, LOADER_PAUSE_NS);
    for (int32_t k = 1; opt_.earlySync && k < chunks; ++k) {
        if (!t_.put(&opt_.sync, 1))
            return t_.end();
    }

    // Each chunk but the last is acknowledged with the sync byte, which the
    // updater answers with one byte of its own.
    for (int32_t k = 1; k <= chunks; ++k) {
        if (t_.take(nullptr, k == 1 ? FIRST_CHUNK_SIZE : LATER_CHUNK_SIZE, -1,
                    k == 1 ? &at : nullptr) != Got::Data)
            return t_.end();
        say("got chunk %d of %d", static_cast<int>(k), static_cast<int>(chunks));
        if (k == 1)
            verdict_.checkPause("first block", at - readyAt, AFTER_LOADER_PAUSE_NS);
        if (k == chunks)
            break;
        unsigned char answer;
        Got early = Got::Timeout;
        if (!opt_.earlySync) {
            early = t_.take(&answer, 1, nowNs() + SYNC_GAP_NS);
            if (early == Got::Closed)
                return t_.end();
            if (early == Got::Data)
                verdict_.early("got %02X after chunk %d before the sync byte was sent: the "
                               "updater did not wait for it", answer, static_cast<int>(k));
            if (!t_.put(&opt_.sync, 1))
                return t_.end();
            say("sent sync after chunk %d", static_cast<int>(k));
        }
        if (early != Got::Data && t_.take(&answer, 1) != Got::Data)
            return t_.end();
        say("got sync %02X", answer);
    }

    unsigned char last[3];
    if (t_.take(last, sizeof last, -1, chunks == 0 ? &at : nullptr) != Got::Data)
        return t_.end();
    say("got final bytes %s", hex(last, sizeof last).c_str());
    if (chunks == 0)
        verdict_.checkPause("final bytes", at - readyAt, AFTER_LOADER_PAUSE_NS);
    return linger();
}

// --announce-every: announces until the offer comes, taking a byte at a time
// so that not a byte past the offer is taken here. The bytes before it are
// recorded, but the verdict and every count start with the offer.
bool Device::announceUntilOffer(unsigned char window[HEADER_SIZE])
{
    const int64_t period = static_cast<int64_t>(opt_.announceEveryMs) * NS_PER_MS;
    int64_t next = nowNs();
    uint64_t announces = 0, seen = 0;
    while (seen < HEADER_SIZE || !isOffer(window)) {
        if (nowNs() >= next) {
            bool heard = false;
            if (!t_.put(announce_, HEADER_SIZE, &heard))
                break;
            announces += heard;
            next = nowNs() + period;
        }
        unsigned char b;
        Got g = t_.take(&b, 1, next);  // --hangup-after 0: ends right after the first announce
        if (g == Got::Closed)
            break;
        if (g == Got::Data) {
            memmove(window, window + 1, HEADER_SIZE - 1);
            window[HEADER_SIZE - 1] = b;
            ++seen;
        }
    }
    bool found = seen >= HEADER_SIZE && isOffer(window);
    say("sent %llu announces", ull(announces));
    say("%llu bytes before the offer", ull(found ? seen - HEADER_SIZE : seen));
    if (!found)
        return false;
    t_.countFrom(window, HEADER_SIZE);
    return !t_.atLimit();
}

// With --expect, the exact offer a correct updater sends; otherwise (or when
// it should send none) anything shaped like one: the announce's code, which
// the offer carries too, and four 7-bit bytes.
bool Device::isOffer(const unsigned char frame[HEADER_SIZE]) const
{
    const std::vector<unsigned char>& want = verdict_.expected();
    if (want.size() >= HEADER_SIZE)
        return memcmp(frame, want.data(), HEADER_SIZE) == 0;
    if (frame[0] != device::ANNOUNCE)
        return false;
    for (size_t i = 1; i < HEADER_SIZE; ++i)
        if (frame[i] >= 0x80)
            return false;
    return true;
}

// n random bytes with plenty of code bytes (0xF0-0xFE) in them, never
// `forbidden`, the one the updater is waiting for; then four zero bytes, so
// that a code byte near the end makes a complete (void) message of its own
// instead of swallowing the start of the real message that follows.
bool Device::putNoise(uint64_t n, unsigned char forbidden)
{
    if (n == 0)
        return true;
    std::vector<unsigned char> codes;
    for (unsigned c = 0xF0; c <= 0xFE; ++c)
        if (c != forbidden)
            codes.push_back(static_cast<unsigned char>(c));
    std::vector<unsigned char> noise;
    noise.reserve(static_cast<size_t>(n) + 4);
    for (uint64_t i = 0; i < n; ++i) {
        uint32_t r = rng_.next();
        noise.push_back((r & 7) == 0 ? codes[(r >> 8) % codes.size()]
                                     : static_cast<unsigned char>((r >> 8) % 0xF0));
    }
    noise.insert(noise.end(), 4, 0);
    if (!t_.put(noise.data(), noise.size()))
        return false;
    say("sent %llu noise bytes", ull(n));
    return true;
}

// --chatter K: K void messages (a data byte with its top bit set) and K
// well-formed ones with a code other than `forbidden`, taking turns.
bool Device::putChatter(unsigned char forbidden)
{
    if (opt_.chatter == 0)
        return true;
    const unsigned char other = forbidden == 0xFE ? 0xFD : 0xFE;
    const unsigned char pair[10] = {0xF1, 0x03, 0x81, 0x01, 0x46, other, 0x03, 0x01, 0x01, 0x46};
    std::vector<unsigned char> chatter;
    for (uint64_t i = 0; i < opt_.chatter; ++i)
        chatter.insert(chatter.end(), pair, pair + sizeof pair);
    if (!t_.put(chatter.data(), chatter.size()))
        return false;
    say("sent %llu chatter messages", ull(opt_.chatter * 2));
    return true;
}

End Device::listen()
{
    line_.awaitSettings();
    t_.take(nullptr, SIZE_MAX);
    return t_.end();
}

End Device::linger()
{
    uint64_t before = verdict_.total();
    Got g = t_.take(nullptr, SIZE_MAX, nowNs() + static_cast<int64_t>(opt_.lingerMs) * NS_PER_MS);
    if (g == Got::Closed && t_.end() != End::Closed)
        return t_.end();
    if (verdict_.total() > before)
        say("got %llu bytes after the final bytes", ull(verdict_.total() - before));
    say(g == Got::Closed ? "line closed by updater" : "updater still holds the line");
    return End::Done;
}

int Device::finish(End end)
{
    if (end == End::HungUp) {
        line_.settle();
        line_.close();
        say("hung up after %llu bytes", ull(verdict_.total()));
    } else if (end == End::Closed) {
        say("line closed by updater after %llu bytes", ull(verdict_.total()));
    } else if (end == End::Stopped) {
        // From here a signal ends the hold instead of the program, and the
        // message below is what a test waits for before it pulls the line.
        int wake = deferSignals();
        say("stopped reading at %llu bytes", ull(verdict_.total()));
        if (line_.hold(wake))
            say("line closed by updater");
    }
    verdict_.print();
    line_.close();
    switch (end) {
    case End::HungUp:
    case End::Stopped:
        return 3;
    case End::Closed:
        return !opt_.silent && verdict_.exact() && verdict_.timely() ? 2 : 1;
    case End::Done:
        break;
    }
    return (!verdict_.expecting() || verdict_.exact()) && verdict_.timely() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const Options opt = parseOptions(argc, argv);
    catchSignals();

    Line line(opt.baud, opt.port);
    int status = Device(opt, line).run();
    fflush(stdout);
    return status;
}
