#include "tools/emu/verdict.h"

#include <cstdarg>
#include <cstring>

#include "tools/emu/codes.h"
#include "tools/emu/log.h"

namespace {

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

// The image as the device takes it: a 5-byte header, a 256-byte loader,
// chunk 1 of 16,390 bytes and every later chunk of 8,196; n chunks make an
// image of 8,196 n + 8,455 bytes.
const size_t HEADER = 5, LOADER = 256, FIRST_CHUNK = 16390, LATER_CHUNK = 8196;
const long long LENGTH_PER_CHUNK = 8196, LENGTH_OF_NO_CHUNKS = 8455;

// Loader byte 0, signed, halved with its sign kept, less one; when it is 0,
// byte 8, signed.
int chunksIn(const unsigned char* loader)
{
    int b0 = static_cast<signed char>(loader[0]);
    return b0 != 0 ? (b0 - (b0 & 1)) / 2 - 1 : static_cast<signed char>(loader[8]);
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
                                          const unsigned char announce[HEADER_SIZE],
                                          std::string& none)
{
    std::vector<unsigned char> e;
    char why[160];

    // An image whose length does not match its own chunk count is refused
    // by a correct updater before anything goes on the line.
    if (image.size() < HEADER + LOADER) {
        none = "image is too short to hold a header and a loader";
        return e;
    }
    const unsigned char* header = image.data();
    const unsigned char* loader = image.data() + HEADER;
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
    unsigned char offer[HEADER_SIZE];
    memcpy(offer, header, HEADER_SIZE);
    if (announce[3] == header[3] && announce[4] == header[4]) {
        offer[3] = 9;
        offer[4] = 99;
    }
    e.insert(e.end(), offer, offer + HEADER_SIZE);
    e.push_back(device::GO_AHEAD);
    e.insert(e.end(), offer + 1, offer + HEADER_SIZE);
    e.insert(e.end(), loader, loader + LOADER);
    size_t pos = HEADER + LOADER;
    for (int k = 1; k <= chunks; ++k) {
        size_t size = k == 1 ? FIRST_CHUNK : LATER_CHUNK;
        e.insert(e.end(), image.data() + pos, image.data() + pos + size);
        pos += size;
        if (k < chunks)
            e.push_back(device::SYNC);
    }
    e.insert(e.end(), 3, device::SYNC);
    return e;
}

} // namespace

bool Verdict::expect(const std::string& imagePath, const unsigned char announce[HEADER_SIZE])
{
    std::vector<unsigned char> image;
    if (!readFile(imagePath, image))
        return false;
    want_ = expectedStream(image, announce, none_);
    expecting_ = true;
    return true;
}

void Verdict::sayExpected() const
{
    if (!expecting_)
        return;
    if (want_.empty())
        say("expecting nothing: %s", none_.c_str());
    else
        say("expecting %llu bytes", ull(want_.size()));
}

void Verdict::feed(const unsigned char* p, size_t n)
{
    if (expecting_ && !mismatch_) {
        for (size_t i = 0; i < n && total_ + i < want_.size(); ++i) {
            uint64_t at = total_ + i;
            if (p[i] != want_[at]) {
                mismatch_ = true;
                mismatchAt_ = at;
                mismatchGot_ = p[i];
                mismatchWant_ = want_[at];
                break;
            }
        }
    }
    total_ += n;
}

bool Verdict::exact() const
{
    return expecting_ && !mismatch_ && total_ == want_.size();
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
    say("received %llu bytes", ull(total_));
    if (!expecting_)
        return;
    uint64_t want = want_.size();
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
