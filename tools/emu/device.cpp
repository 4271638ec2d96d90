#include "tools/emu/device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "tools/emu/common.h"
#include "tools/emu/signals.h"

namespace {

const size_t SCRATCH_SIZE = 64 * 1024;
// How long to keep taking in bytes once a send has found the line closed.
const int64_t DRAIN_NS = 100 * NS_PER_MS;

bool readFile(const std::string& path, std::vector<unsigned char>& out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fprintf(stderr, "trelvane-emu: cannot open %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    unsigned char b[65536];
    size_t n;
    while ((n = fread(b, 1, sizeof b, f)) > 0)
        out.insert(out.end(), b, b + n);
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad)
        fprintf(stderr, "trelvane-emu: cannot read %s\n", path.c_str());
    return !bad;
}

} // namespace

Device::Device(const Options& o, Line& line)
    : opt_(o), line_(line), rng_(o.seed), scratch_(SCRATCH_SIZE)
{
}

void Device::announceFrame(unsigned char frame[HEADER_SIZE]) const
{
    frame[0] = CODE_ANNOUNCE;
    frame[1] = static_cast<unsigned char>(opt_.hwA);
    frame[2] = static_cast<unsigned char>(opt_.hwB);
    frame[3] = static_cast<unsigned char>(opt_.verMajor);
    frame[4] = static_cast<unsigned char>(opt_.verMinor);
}

bool Device::loadExpected()
{
    if (opt_.expect.empty())
        return true;
    std::vector<unsigned char> image;
    if (!readFile(opt_.expect, image))
        return false;
    unsigned char announce[HEADER_SIZE];
    announceFrame(announce);
    verdict_.expect(expectedStream(image, announce));
    return true;
}

bool Device::openRecord()
{
    if (opt_.record.empty())
        return true;
    record_ = open(opt_.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (record_ < 0) {
        fprintf(stderr, "trelvane-emu: cannot create %s: %s\n", opt_.record.c_str(), strerror(errno));
        return false;
    }
    return true;
}

int Device::run()
{
    if (!loadExpected() || !openRecord())
        return 2;
    if (!line_.open(opt_.link))
        return 1;
    if (verdict_.expecting()) {
        const Expected& e = verdict_.expected();
        if (e.bytes.empty())
            say("expecting nothing: %s", e.none.c_str());
        else
            say("expecting %llu bytes", ull(e.bytes.size()));
    }
    return finish(opt_.silent ? listen() : exchange());
}

End Device::listen()
{
    line_.awaitSettings();
    while (takeSome(-1) != Got::Closed) {
    }
    return end_;
}

End Device::linger()
{
    uint64_t before = verdict_.total();
    int64_t deadline = nowNs() + static_cast<int64_t>(opt_.lingerMs) * NS_PER_MS;
    Got g;
    while ((g = takeSome(deadline)) == Got::Data) {
    }
    if (end_ == End::HungUp)
        return end_;
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
    if (record_ >= 0) {
        close(record_);
        record_ = -1;
    }
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

uint64_t Device::bytesLeft() const
{
    if (!opt_.hangup && !opt_.stop)
        return UINT64_MAX;
    uint64_t limit = opt_.hangup ? opt_.hangupAfter : opt_.stopAt;
    return limit > verdict_.total() ? limit - verdict_.total() : 0;
}

bool Device::atLimit()
{
    if (bytesLeft() > 0)
        return false;
    end_ = opt_.hangup ? End::HungUp : End::Stopped;
    return true;
}

// Never reads past a --hangup-after or --stop-at count, and ends the
// exchange the moment it is reached.
Got Device::takeInto(unsigned char* buf, size_t want, int64_t deadline, size_t& got)
{
    got = 0;
    if (atLimit())
        return Got::Closed;
    if (want > bytesLeft())
        want = static_cast<size_t>(bytesLeft());
    Got g = line_.receive(buf, want, deadline, got);
    if (g == Got::Closed)
        end_ = End::Closed;
    if (g != Got::Data)
        return g;
    note(buf, got);
    return atLimit() ? Got::Closed : g;
}

Got Device::takeSome(int64_t deadline)
{
    size_t got = 0;
    return takeInto(scratch_.data(), scratch_.size(), deadline, got);
}

bool Device::take(unsigned char* dst, size_t n, int64_t* firstAt)
{
    for (bool first = true; n > 0; first = false) {
        unsigned char* buf = dst ? dst : scratch_.data();
        size_t want = dst ? n : std::min(n, scratch_.size());
        size_t got = 0;
        if (takeInto(buf, want, -1, got) == Got::Closed)
            return false;
        if (first && firstAt)
            *firstAt = nowNs();
        if (dst)
            dst += got;
        n -= got;
    }
    return true;
}

bool Device::put(const unsigned char* p, size_t n, bool* heard)
{
    bool sent = line_.send(p, n);
    if (heard)
        *heard = sent;
    if (sent || !line_.settingsSeen())
        return true;
    // Take in whatever the updater wrote before it closed the line, so that
    // the count is complete when a send is what noticed the hang-up.
    end_ = End::Closed;
    while (takeSome(nowNs() + DRAIN_NS) == Got::Data) {
    }
    return false;
}

bool Device::putNoise(uint64_t n, unsigned char forbidden)
{
    if (n == 0)
        return true;
    std::vector<unsigned char> noise = noiseBytes(rng_, n, forbidden);
    if (!put(noise.data(), noise.size()))
        return false;
    say("sent %llu noise bytes", ull(n));
    return true;
}

bool Device::putChatter(unsigned char forbidden)
{
    if (opt_.chatter == 0)
        return true;
    std::vector<unsigned char> chatter = chatterBytes(opt_.chatter, forbidden);
    if (!put(chatter.data(), chatter.size()))
        return false;
    say("sent %llu chatter messages", ull(opt_.chatter * 2));
    return true;
}

void Device::note(const unsigned char* p, size_t n)
{
    record(p, n);
    verdict_.feed(p, n);
}

void Device::record(const unsigned char* p, size_t n)
{
    while (record_ >= 0 && n > 0) {
        ssize_t w = write(record_, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            fprintf(stderr, "trelvane-emu: writing %s: %s\n", opt_.record.c_str(), strerror(errno));
            close(record_);
            record_ = -1;
            break;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}
