#include "tools/emu/verdict.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/emu/codes.h"
#include "tools/emu/log.h"

using namespace device;

namespace {

// Each announced hardware code may be one off the image's, as signed bytes.
bool fits(unsigned char announced, unsigned char wanted)
{
    int d = static_cast<signed char>(announced) - static_cast<signed char>(wanted);
    return d >= -1 && d <= 1;
}

// What a correct updater sends, into e; when it sends nothing at all, e
// stays empty and the reason is returned.
std::string expectedStream(const std::vector<unsigned char>& image,
                           const unsigned char announce[MESSAGE], std::vector<unsigned char>& e)
{
    // An image whose length does not match its own chunk count is refused
    // by a correct updater before anything goes on the line; so is one whose
    // hardware codes are further off than one: it is not for this device.
    if (image.size() < MESSAGE + LOADER)
        return "image is too short to hold a header and a loader";
    const unsigned char* header = image.data();
    const unsigned char* loader = image.data() + MESSAGE;
    int chunks = chunksIn(loader);
    if (chunks < 0 ||
        static_cast<long long>(image.size()) != static_cast<long long>(LATER_CHUNK) * chunks + LENGTH_OF_NO_CHUNKS)
        return "image of " + std::to_string(image.size()) + " bytes does not fit its " +
               std::to_string(chunks) + " chunks";
    if (!fits(announce[1], header[1]) || !fits(announce[2], header[2]))
        return "hardware " + std::to_string(announce[1]) + "," + std::to_string(announce[2]) +
               " does not fit image hardware " + std::to_string(header[1]) + "," +
               std::to_string(header[2]);

    // Re-offering the version the device already has is marked as 9.99, so
    // the device installs it anyway. The go-ahead repeats the offer under
    // its own code.
    e.assign(header, header + MESSAGE);
    if (announce[3] == header[3] && announce[4] == header[4]) {
        e[3] = 9;
        e[4] = 99;
    }
    e.push_back(GO_AHEAD);
    for (size_t i = 1; i < MESSAGE; ++i)
        e.push_back(e[i]);
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
    return "";
}

} // namespace

bool Verdict::expect(const std::string& imagePath, const unsigned char announce[MESSAGE])
{
    std::ifstream f(imagePath, std::ios::binary);
    std::vector<unsigned char> image{std::istreambuf_iterator<char>(f), {}};
    if (!f.is_open() || f.bad()) {
        fprintf(stderr, "trelvane-emu: cannot read %s: %s\n", imagePath.c_str(), strerror(errno));
        return false;
    }
    std::string none = expectedStream(image, announce, want_);
    expecting_ = true;
    if (want_.empty())
        say("expecting nothing: %s", none.c_str());
    else
        say("expecting %zu bytes", want_.size());
    return true;
}

void Verdict::checkPause(const char* what, int64_t after, int64_t least)
{
    timely_ = timely_ && after >= least;
    if (after < least)
        say("%s came %.1f ms after ready, at least %lld ms wanted (%.1f ms early)", what,
              static_cast<double>(after) / NS_PER_MS, static_cast<long long>(least / NS_PER_MS),
              static_cast<double>(least - after) / NS_PER_MS);
}

void Verdict::print() const
{
    say("received %zu bytes", got_.size());
    if (!expecting_)
        return;
    size_t at = 0, both = std::min(got_.size(), want_.size());
    while (at < both && got_[at] == want_[at])
        ++at;
    if (at < both)
        say("expect: differs at offset %zu (got 0x%02X, want 0x%02X)", at, got_[at], want_[at]);
    else if (got_.size() != want_.size())
        say("expect: %s, got %zu of %zu bytes", got_.size() < want_.size() ? "short" : "long",
            got_.size(), want_.size());
    else
        say("expect: exact (%zu bytes)", got_.size());
}
