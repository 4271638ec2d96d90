// The device's side of the exchange: it announces itself, answers the
// offer, signals ready, and takes the loader and every chunk with sync
// bytes, with the faults it is told to make along the way.

#include <algorithm>

#include "tools/emu/device.h"
#include "tools/emu/log.h"

using namespace device;

namespace {

// The device needs a second after its ready message to start taking the
// loader, and another second after the loader to start the loader itself:
// the first loader byte must not come in sooner than the first of these
// after ready, nor the first byte after the loader sooner than the second.
const int64_t LOADER_PAUSE_NS = 1000 * NS_PER_MS;
const int64_t AFTER_LOADER_PAUSE_NS = 2000 * NS_PER_MS;

// The device's two replies to the offer come this far apart, and each sync
// byte this long after its chunk (longer with a delay there): an updater
// that does not wait is caught.
const int64_t REPLY_GAP_NS = 30 * NS_PER_MS;
const int64_t SYNC_GAP_NS = 5 * NS_PER_MS;

} // namespace

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
        sleepNs(faults_.delayNs(Point::Announce));
        if (!send(Point::Announce, announce_, MESSAGE))
            return end_;
        announces_ = 1;
        say("sent announce %s", hex(announce_, MESSAGE).c_str());
        if (take(msg, MESSAGE) != Got::Data)
            return end_;
    }
    say("got offer %s", hex(verdict_.received().data(), MESSAGE).c_str());
    heard_ = Heard();

    // Two replies once the user has chosen; the updater does not look at
    // what they say, but its go-ahead must wait for two messages, counted as
    // it reads them in what the device sent since the offer. A device that
    // announces until answered may have a later announce still on its way,
    // which the updater rightly counts as the first reply: an early go-ahead
    // fails the run where the device announced only once.
    const unsigned char replies[2][MESSAGE] = {{0xF1, 0, 0, 0, 0}, {0xF2, 0, 0, 0, 0}};
    size_t early = 0;  // a go-ahead byte taken while the device waited
    for (int r = 0; r < 2; ++r) {
        Point p = r == 0 ? Point::Reply1 : Point::Reply2;
        int64_t wait = std::max(faults_.delayNs(p), r == 0 ? 0 : REPLY_GAP_NS);
        Got g = Got::Timeout;
        if (early || wait == 0)
            sleepNs(wait);
        else if ((g = watch(wait, msg)) == Got::Closed)
            return end_;
        early += g == Got::Data;
        if (g == Got::Data && heard_.messages() < 2 && announces_ == 1) {
            verdict_.early();
            say("got %02X with %zu of the device's messages sent since the offer: the go-ahead "
                "came too soon", msg[0], heard_.messages());
        }
        if (!send(p, replies[r], MESSAGE))
            return end_;
    }
    say("sent 2 replies");
    if (take(msg + early, MESSAGE - early) != Got::Data)
        return end_;
    say("got go-ahead %s", hex(msg, MESSAGE).c_str());

    // Nobody can have read the ready message before it was sent.
    const unsigned char ready[MESSAGE] = {READY, 0, 0, 0, 0};
    if (!putNoise(opt_.noiseBeforeReady, READY))
        return end_;
    sleepNs(faults_.delayNs(Point::Ready));
    int64_t readyAt = nowNs();
    if (!send(Point::Ready, ready, MESSAGE))
        return end_;
    say("sent ready");

    unsigned char loader[LOADER];
    int64_t at = 0;
    if (take(loader, LOADER, -1, &at) != Got::Data || !send(Point::Loader, nullptr, 0))
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
        if (opt_.promptSync && syncs) {
            sleepNs(faults_.delayNs(Point::Sync, k));
            if (!sendSync(k))
                return end_;
        }
        if (take(nullptr, (k == 1 ? FIRST_CHUNK : LATER_CHUNK) - 1) != Got::Data)
            return end_;
        say("got chunk %d of %d", k, chunks);
        if (k == 1)
            verdict_.checkPause("first block", at - readyAt, AFTER_LOADER_PAUSE_NS);
        if (!syncs)
            break;
        unsigned char answer;
        Got g = opt_.promptSync
                    ? Got::Timeout
                    : watch(std::max(SYNC_GAP_NS, faults_.delayNs(Point::Sync, k)), &answer);
        if (g == Got::Closed)
            return end_;
        if (g == Got::Data && sent_ == sentBefore) {
            verdict_.early();
            say("got %02X after chunk %d with nothing sent since it began: the updater did not "
                "wait for the sync byte", answer, k);
        }
        if ((!opt_.promptSync && !sendSync(k)) ||
            (g != Got::Data && take(&answer, 1) != Got::Data))
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

bool Device::send(Point p, const unsigned char* msg, size_t n, int chunk)
{
    std::vector<unsigned char> out = faults_.around(p, chunk, msg, n);
    if (!put(out.data(), out.size()))
        return false;
    faults_.tell(p, chunk);
    return true;
}

bool Device::sendSync(int k)
{
    if (!send(Point::Sync, &opt_.sync, 1, k))
        return false;
    say("sent sync after chunk %d", k);
    return true;
}

Got Device::watch(int64_t ns, unsigned char* b)
{
    int64_t until = nowNs() + ns;
    Got g = take(b, 1, until);
    if (g == Got::Data)
        sleepNs(until - nowNs());
    return g;
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
            sleepNs(faults_.delayNs(Point::Announce));
            if (!send(Point::Announce, announce_, MESSAGE))
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

