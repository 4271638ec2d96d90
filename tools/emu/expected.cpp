#include "tools/emu/expected.h"

#include <cstdio>
#include <cstring>

#include "link/codes.h"

namespace {

// Each announced hardware code may be one off the image's, as signed bytes.
bool fits(unsigned char announced, unsigned char wanted)
{
    int d = static_cast<signed char>(announced) - static_cast<signed char>(wanted);
    return d >= -1 && d <= 1;
}

void append(std::vector<unsigned char>& v, const unsigned char* p, size_t n)
{
    v.insert(v.end(), p, p + n);
}

} // namespace

Expected expectedStream(const std::vector<unsigned char>& image,
                        const unsigned char announce[HEADER_SIZE])
{
    Expected e;
    char why[160];

    // An image whose length does not match its own chunk count is refused
    // by a correct updater before anything goes on the line.
    if (image.size() < HEADER_SIZE + LOADER_SIZE) {
        e.none = "image is too short to hold a header and a loader";
        return e;
    }
    const unsigned char* header = image.data();
    const unsigned char* loader = image.data() + HEADER_SIZE;
    int32_t chunks = chunkCount(loader);
    if (chunks < 0 || image.size() != static_cast<uint64_t>(expectedSize(chunks))) {
        snprintf(why, sizeof why, "image of %llu bytes does not fit its %d chunks",
                 static_cast<unsigned long long>(image.size()), static_cast<int>(chunks));
        e.none = why;
        return e;
    }

    // Hardware codes further off than one mean the image is not for this
    // device, and nothing is sent at all.
    if (!fits(announce[1], header[1]) || !fits(announce[2], header[2])) {
        snprintf(why, sizeof why, "hardware %u,%u does not fit image hardware %u,%u", announce[1],
                 announce[2], header[1], header[2]);
        e.none = why;
        return e;
    }

    unsigned char offer[HEADER_SIZE];
    memcpy(offer, header, HEADER_SIZE);
    // Re-offering the version the device already has is marked as 9.99, so
    // the device installs it anyway.
    if (announce[3] == header[3] && announce[4] == header[4]) {
        offer[3] = 9;
        offer[4] = 99;
    }
    unsigned char goAhead[HEADER_SIZE];
    memcpy(goAhead, offer, HEADER_SIZE);
    goAhead[0] = CODE_GO_AHEAD;

    append(e.bytes, offer, HEADER_SIZE);
    append(e.bytes, goAhead, HEADER_SIZE);
    append(e.bytes, loader, LOADER_SIZE);
    size_t pos = HEADER_SIZE + LOADER_SIZE;
    for (int32_t k = 1; k <= chunks; ++k) {
        size_t size = k == 1 ? FIRST_CHUNK_SIZE : LATER_CHUNK_SIZE;
        append(e.bytes, image.data() + pos, size);
        pos += size;
        if (k < chunks)
            e.bytes.push_back(SYNC_BYTE);
    }
    for (int i = 0; i < 3; ++i)
        e.bytes.push_back(SYNC_BYTE);
    return e;
}
