#include "tools/emu/transport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "tools/emu/log.h"

namespace {

// How long the line must stay quiet, once a send has found it closed, before
// the count of what the updater wrote is taken as complete.
const int64_t DRAIN_NS = 100 * NS_PER_MS;

} // namespace

Transport::Transport(const Options& o, Line& line, Verdict& verdict)
    : opt_(o), line_(line), verdict_(verdict), counting_(o.announceEveryMs == 0),
      scratch_(64 * 1024)
{
}

Transport::~Transport()
{
    if (record_ >= 0)
        close(record_);
}

bool Transport::openRecord()
{
    if (opt_.record.empty())
        return true;
    record_ = open(opt_.record.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (record_ < 0)
        fprintf(stderr, "trelvane-emu: cannot create %s: %s\n", opt_.record.c_str(),
                strerror(errno));
    return record_ >= 0;
}

uint64_t Transport::bytesLeft() const
{
    if (!opt_.hangup && !opt_.stop)
        return UINT64_MAX;
    uint64_t limit = opt_.hangup ? opt_.hangupAfter : opt_.stopAt;
    return limit > verdict_.total() ? limit - verdict_.total() : 0;
}

bool Transport::atLimit()
{
    if (bytesLeft() > 0)
        return false;
    end_ = opt_.hangup ? End::HungUp : End::Stopped;
    return true;
}

Got Transport::take(unsigned char* dst, size_t n, int64_t deadline, int64_t* firstAt)
{
    for (bool first = true; n > 0; first = false) {
        if (atLimit())
            return Got::Closed;
        unsigned char* buf = dst ? dst : scratch_.data();
        size_t room = dst ? n : scratch_.size();
        size_t want = static_cast<size_t>(std::min<uint64_t>({n, room, bytesLeft()}));
        size_t got = 0;
        Got g = line_.receive(buf, want, deadline, got);
        if (g == Got::Closed)
            end_ = End::Closed;
        if (g != Got::Data)
            return g;
        if (first && firstAt)
            *firstAt = nowNs();
        record(buf, got);
        if (counting_)
            verdict_.feed(buf, got);
        if (dst)
            dst += got;
        n -= got;
    }
    return atLimit() ? Got::Closed : Got::Data;
}

bool Transport::put(const unsigned char* p, size_t n, bool* heard)
{
    bool sent = line_.send(p, n);
    if (heard)
        *heard = sent;
    if (sent || !line_.settingsSeen())
        return true;
    end_ = End::Closed;
    for (uint64_t before = UINT64_MAX; before != verdict_.total();) {
        before = verdict_.total();
        if (take(nullptr, SIZE_MAX, nowNs() + DRAIN_NS) != Got::Timeout)
            break;
    }
    return false;
}

void Transport::countFrom(const unsigned char* p, size_t n)
{
    counting_ = true;
    verdict_.feed(p, n);
}

void Transport::record(const unsigned char* p, size_t n)
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
