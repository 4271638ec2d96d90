#include "tools/emu/verdict.h"

#include <utility>

#include "tools/emu/common.h"

void Verdict::expect(Expected e)
{
    expected_ = std::move(e);
    expecting_ = true;
}

void Verdict::feed(const unsigned char* p, size_t n)
{
    const std::vector<unsigned char>& want = expected_.bytes;
    if (expecting_ && !mismatch_) {
        for (size_t i = 0; i < n && total_ + i < want.size(); ++i) {
            uint64_t at = total_ + i;
            if (p[i] != want[at]) {
                mismatch_ = true;
                mismatchAt_ = at;
                mismatchGot_ = p[i];
                mismatchWant_ = want[at];
                break;
            }
        }
    }
    total_ += n;
}

bool Verdict::exact() const
{
    return expecting_ && !mismatch_ && total_ == expected_.bytes.size();
}

void Verdict::checkPause(const char* what, int64_t after, int64_t least)
{
    if (after >= least)
        return;
    timely_ = false;
    say("%s came %.1f ms after ready, at least %lld ms wanted (%.1f ms early)", what,
        static_cast<double>(after) / NS_PER_MS, static_cast<long long>(least / NS_PER_MS),
        static_cast<double>(least - after) / NS_PER_MS);
}

void Verdict::print() const
{
    say("received %llu bytes", ull(total_));
    if (!expecting_)
        return;
    uint64_t want = expected_.bytes.size();
    if (mismatch_)
        say("expect: differs at offset %llu (got 0x%02X, want 0x%02X)", ull(mismatchAt_),
            mismatchGot_, mismatchWant_);
    else if (total_ < want)
        say("expect: short, got %llu of %llu bytes", ull(total_), ull(want));
    else if (total_ > want)
        say("expect: long, got %llu of %llu bytes", ull(total_), ull(want));
    else
        say("expect: exact (%llu bytes)", ull(total_));
}
