#include "tools/emu/verdict.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/emu/codes.h"
#include "tools/emu/log.h"

using namespace device;

namespace {

bool readFile(const std::string& path, std::vector<unsigned char>& out)
{
    std::ifstream f(path, std::ios::binary);
    out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    if (!f.is_open() || f.bad())
        fprintf(stderr, "trelvane-emu: cannot read %s: %s\n", path.c_str(), strerror(errno));
    return f.is_open() && !f.bad();
}

// Each announced hardware code may be one off the image's, as signed bytes.
bool fits(unsigned char announced, unsigned char wanted)
{
    int d = static_cast<signed char>(announced) - static_cast<signed char>(wanted);
    return d >= -1 && d <= 1;
}

// What a correct updater sends; empty, with the reason in `none`, when it
// sends nothing at all.
std::vector<unsigned char> expectedStream(const std::vector<unsigned char>& image,
                                          const unsigned char announce[MESSAGE],
                                          std::string& none)
{
    std::vector<unsigned char> e;
    char why[160];

    // An image whose length does not match its own chunk count is refused
    // by a correct updater before anything goes on the line.
    if (image.size() < MESSAGE + LOADER) {
        none = "image is too short to hold a header and a loader";
        return e;
    }
    const unsigned char* header = image.data();
    const unsigned char* loader = image.data() + MESSAGE;
    int chunks = chunksIn(loader);
    if (chunks < 0 ||
        static_cast<long long>(image.size()) != LENGTH_PER_CHUNK * chunks + LENGTH_OF_NO_CHUNKS) {
        snprintf(why, sizeof why, "image of %llu bytes does not fit its %d chunks",
                 ull(image.size()), static_cast<int>(chunks));
        none = why;
        return e;
    }

    // Hardware codes further off than one mean the image is not for this
    // device, and nothing is sent at all.
    if (!fits(announce[1], header[1]) || !fits(announce[2], header[2])) {
        snprintf(why, sizeof why, "hardware %u,%u does not fit image hardware %u,%u", announce[1],
                 announce[2], header[1], header[2]);
        none = why;
        return e;
    }

    // Re-offering the version the device already has is marked as 9.99, so
    // the device installs it anyway. The go-ahead repeats the offer under
    // its own code.
    unsigned char offer[MESSAGE];
    memcpy(offer, header, MESSAGE);
    if (announce[3] == header[3] && announce[4] == header[4]) {
        offer[3] = 9;
        offer[4] = 99;
    }
    e.insert(e.end(), offer, offer + MESSAGE);
    e.push_back(GO_AHEAD);
    e.insert(e.end(), offer + 1, offer + MESSAGE);
    e.insert(e.end(), loader, loader + LOADER);
    size_t pos = MESSAGE + LOADER;
    for (int k = 1; k <= chunks; ++k) {
        size_t size = k == 1 ? FIRST_CHUNK : LATER_CHUNK;
        e.insert(e.end(), image.data() + pos, image.data() + pos + size);
        pos += size;
        if (k < chunks)
            e.push_back(SYNC);
    }
    e.insert(e.end(), 3, SYNC);
    return e;
}

} // namespace

bool Verdict::expect(const std::string& imagePath, const unsigned char announce[MESSAGE])
{
    std::vector<unsigned char> image;
    if (!readFile(imagePath, image))
        return false;
    std::string none;
    want_ = expectedStream(image, announce, none);
    expecting_ = true;
    if (want_.empty())
        say("expecting nothing: %s", none.c_str());
    else
        say("expecting %llu bytes", ull(want_.size()));
    return true;
}

void Verdict::early(const char* fmt, ...)
{
    timely_ = false;
    char line[200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    say("%s", line);
}

void Verdict::checkPause(const char* what, int64_t after, int64_t least)
{
    if (after < least)
        early("%s came %.1f ms after ready, at least %lld ms wanted (%.1f ms early)", what,
              static_cast<double>(after) / NS_PER_MS, static_cast<long long>(least / NS_PER_MS),
              static_cast<double>(least - after) / NS_PER_MS);
}

void Verdict::print() const
{
    say("received %llu bytes", ull(got_.size()));
    if (!expecting_)
        return;
    size_t both = std::min(got_.size(), want_.size());
    size_t at = static_cast<size_t>(std::mismatch(got_.begin(), got_.begin() + both, want_.begin()).first - got_.begin());
    if (at < both)
        say("expect: differs at offset %llu (got 0x%02X, want 0x%02X)", ull(at), got_[at], want_[at]);
    else if (got_.size() != want_.size())
        say("expect: %s, got %llu of %llu bytes", got_.size() < want_.size() ? "short" : "long",
            ull(got_.size()), ull(want_.size()));
    else
        say("expect: exact (%llu bytes)", ull(got_.size()));
}
