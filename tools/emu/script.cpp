// The device's side of an installation, in the order the device plays it.
#include "tools/emu/device.h"

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
    line_.awaitSettings();
    // --stop-at 0: not a byte read, nor a word said.
    if (opt_.stop && opt_.stopAt == 0) {
        end_ = End::Stopped;
        return end_;
    }

    // Announce, after whatever noise and chatter was asked for.
    unsigned char announce[HEADER_SIZE];
    announceFrame(announce);
    if (!putNoise(opt_.noiseBeforeAnnounce, CODE_ANNOUNCE) || !putChatter(CODE_ANNOUNCE) ||
        !put(announce, sizeof announce))
        return end_;
    say("sent announce %s", hex(announce, sizeof announce).c_str());

    unsigned char msg[HEADER_SIZE];
    if (!take(msg, sizeof msg))
        return end_;
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
