// The device's side of an installation, in the order the device plays it.
#include "tools/emu/device.h"

#include <cstring>

#include "tools/emu/common.h"

namespace {

// The device needs a second after its ready message to start taking the
// loader, and another second after the loader to start the loader itself:
// the first loader byte must not come in sooner than the first of these
// after ready, nor the first byte after the loader sooner than the second.
const int64_t LOADER_PAUSE_NS = 1000 * NS_PER_MS;
const int64_t AFTER_LOADER_PAUSE_NS = 2000 * NS_PER_MS;

} // namespace

End Device::exchange()
{
    // With --announce-every the device speaks without waiting for the line
    // settings, which are then looked at along the way.
    if (!opt_.announceEveryMs)
        line_.awaitSettings();
    // --stop-at 0: not a byte read, nor a word said.
    if (opt_.stop && opt_.stopAt == 0) {
        end_ = End::Stopped;
        return end_;
    }

    // Announce, after whatever noise and chatter was asked for.
    unsigned char announce[HEADER_SIZE];
    announceFrame(announce);
    if (!putNoise(opt_.noiseBeforeAnnounce, CODE_ANNOUNCE) || !putChatter(CODE_ANNOUNCE))
        return end_;
    unsigned char msg[HEADER_SIZE];
    if (opt_.announceEveryMs) {
        if (!announceUntilOffer(announce, msg))
            return end_;
    } else {
        if (!put(announce, sizeof announce))
            return end_;
        say("sent announce %s", hex(announce, sizeof announce).c_str());
        if (!take(msg, sizeof msg))
            return end_;
    }
    say("got offer %s", hex(msg, sizeof msg).c_str());

    // Two replies once the user has chosen; the updater does not look at
    // what they say.
    const unsigned char replies[10] = {0xF1, 0, 0, 0, 0, 0xF2, 0, 0, 0, 0};
    if (!put(replies, sizeof replies))
        return end_;
    say("sent 2 replies");

    if (!take(msg, sizeof msg))
        return end_;
    say("got go-ahead %s", hex(msg, sizeof msg).c_str());

    const unsigned char ready[HEADER_SIZE] = {CODE_READY, 0, 0, 0, 0};
    if (!putNoise(opt_.noiseBeforeReady, CODE_READY) || !putChatter(CODE_READY) ||
        !put(ready, sizeof ready))
        return end_;
    int64_t readyAt = line_.lastWriteNs();
    say("sent ready");

    // The loader says how many chunks follow.
    unsigned char loader[LOADER_SIZE];
    int64_t at = 0;
    if (!take(loader, sizeof loader, &at))
        return end_;
    int32_t chunks = chunkCount(loader);
    if (chunks < 0)
        chunks = 0;
    say("got loader, %d chunks", static_cast<int>(chunks));
    verdict_.checkPause("loader", at - readyAt, LOADER_PAUSE_NS);
    for (int32_t k = 1; opt_.earlySync && k < chunks; ++k) {
        if (!put(&opt_.sync, 1))
            return end_;
    }

    // Each chunk but the last is acknowledged with the sync byte, which the
    // updater answers with one byte of its own.
    for (int32_t k = 1; k <= chunks; ++k) {
        if (!take(nullptr, k == 1 ? FIRST_CHUNK_SIZE : LATER_CHUNK_SIZE, k == 1 ? &at : nullptr))
            return end_;
        say("got chunk %d of %d", static_cast<int>(k), static_cast<int>(chunks));
        if (k == 1)
            verdict_.checkPause("first block", at - readyAt, AFTER_LOADER_PAUSE_NS);
        if (k == chunks)
            break;
        if (!opt_.earlySync && !put(&opt_.sync, 1))
            return end_;
        unsigned char answer;
        if (!take(&answer, 1))
            return end_;
        say("got sync %02X", answer);
    }

    unsigned char last[3];
    if (!take(last, sizeof last, chunks == 0 ? &at : nullptr))
        return end_;
    say("got final bytes %s", hex(last, sizeof last).c_str());
    if (chunks == 0)
        verdict_.checkPause("final bytes", at - readyAt, AFTER_LOADER_PAUSE_NS);
    return linger();
}

bool Device::announceUntilOffer(const unsigned char announce[HEADER_SIZE],
                                unsigned char offer[HEADER_SIZE])
{
    uint64_t announces = 0, before = 0;
    bool found = awaitOffer(announce, offer, announces, before);
    say("sent %llu announces", ull(announces));
    say("%llu bytes before the offer", ull(before));
    if (!found)
        return false;
    // The verdict, and every count, starts with the offer.
    verdict_.feed(offer, HEADER_SIZE);
    return !atLimit();
}

// Reads a byte at a time, so that not a byte past the offer is taken here.
bool Device::awaitOffer(const unsigned char announce[HEADER_SIZE],
                        unsigned char window[HEADER_SIZE], uint64_t& announces, uint64_t& before)
{
    const int64_t period = static_cast<int64_t>(opt_.announceEveryMs) * NS_PER_MS;
    int64_t next = nowNs();
    uint64_t seen = 0;
    for (;;) {
        int64_t now = nowNs();
        if (now >= next) {
            bool heard = false;
            if (!put(announce, HEADER_SIZE, &heard))
                return false;
            announces += heard;
            next = now + period;
        }
        // --hangup-after 0: right after the first announce.
        if (atLimit())
            return false;
        unsigned char b;
        size_t got = 0;
        Got g = line_.receive(&b, 1, next, got);
        if (g == Got::Closed) {
            end_ = End::Closed;
            return false;
        }
        if (g != Got::Data)
            continue;
        record(&b, 1);
        memmove(window, window + 1, HEADER_SIZE - 1);
        window[HEADER_SIZE - 1] = b;
        if (++seen >= HEADER_SIZE && isOffer(window)) {
            before = seen - HEADER_SIZE;
            return true;
        }
        before = seen;
    }
}

// With --expect, the exact offer a correct updater sends; otherwise (or when
// it should send none) anything shaped like one: the announce's code, which
// the offer carries too, and four 7-bit bytes.
bool Device::isOffer(const unsigned char frame[HEADER_SIZE]) const
{
    const std::vector<unsigned char>& want = verdict_.expected().bytes;
    if (want.size() >= HEADER_SIZE)
        return memcmp(frame, want.data(), HEADER_SIZE) == 0;
    if (frame[0] != CODE_ANNOUNCE)
        return false;
    for (size_t i = 1; i < HEADER_SIZE; ++i)
        if (frame[i] >= 0x80)
            return false;
    return true;
}
