// trelvane-mkimage: writes a synthetic Trelvane software image.
//
// The image has the real layout (header, loader, chunks of blocks with a
// checksum each) but made-up contents, so that the updater can be exercised
// end to end without a real device build. Every block carries its own
// pseudo-random pattern, seeded by its position in the image, so a block that
// is dropped, sent twice or sent out of order shows up as a mismatch.
//
// Usage: trelvane-mkimage [--chunks N] [--header FF,03,01,01,49] [--length L] OUT_FILE

#include "image/layout.h"
#include "tools/cli/args.h"
#include "tools/cli/rng.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int MAX_CHUNKS = 127;        // the loader's count byte is a signed byte
const int MAX_SHORT_COUNT = 62;    // 2*(N+1) must stay a positive signed byte
const uint64_t MAX_LENGTH = 0xFFFFFFFFull;

const unsigned char FIRST_CHUNK_MARKS[FIRST_CHUNK_BLOCKS] = {0xF2, 0xF3, 0xF4, 0xF5};
const unsigned char LATER_CHUNK_MARKS[LATER_CHUNK_BLOCKS] = {0xF6, 0xF7};

const char USAGE[] =
    "usage: trelvane-mkimage [--chunks N] [--header FF,03,01,01,49] [--length L] OUT_FILE\n"
    "  --chunks N   number of chunks, 0..127 (default 30)\n"
    "  --header H   five hex bytes, comma separated (default FF,03,01,01,49)\n"
    "  --length L   write exactly L bytes, cutting or extending the image\n"
    "               (default: the length N chunks call for)\n";

bool parseHeader(const std::string& all, unsigned char header[HEADER_SIZE])
{
    size_t start = 0;
    for (uint32_t i = 0; i < HEADER_SIZE; ++i) {
        size_t comma = all.find(',', start);
        bool last = (i + 1 == HEADER_SIZE);
        if (last != (comma == std::string::npos))
            return false;  // too few or too many fields
        std::string field = all.substr(start, last ? std::string::npos : comma - start);
        if (!parseHexByte(field, header[i]))
            return false;
        start = comma + 1;
    }
    return true;
}

// Writes the image a piece at a time, stopping once the requested length is
// reached; everything past the real chunks continues the same pattern.
class Writer {
public:
    Writer(FILE* f, uint64_t length) : f_(f), left_(length) {}

    bool done() const { return left_ == 0; }
    bool failed() const { return failed_; }

    void put(const unsigned char* p, size_t n)
    {
        if (n > left_)
            n = static_cast<size_t>(left_);
        if (n == 0 || failed_)
            return;
        if (fwrite(p, 1, n, f_) != n)
            failed_ = true;
        left_ -= n;
    }

private:
    FILE* f_;
    uint64_t left_;
    bool failed_ = false;
};

void makeLoader(int chunks, unsigned char loader[LOADER_SIZE])
{
    // Filler that is clearly not blank, so a loader sent as zeros is caught.
    for (uint32_t i = 0; i < LOADER_SIZE; ++i)
        loader[i] = static_cast<unsigned char>((i * 29u + 0x40u) ^ (i >> 3));
    // Small counts go in byte 0 as 2*(N+1); the device reads it as a signed
    // byte, so larger counts leave byte 0 zero and use byte 8 instead. Byte 8
    // always holds the count too.
    loader[0] = chunks <= MAX_SHORT_COUNT ? static_cast<unsigned char>(2 * (chunks + 1)) : 0;
    loader[8] = static_cast<unsigned char>(chunks);
}

// Writes chunk after chunk (chunk 1 with four blocks, every later one with
// two), each followed by the 16-bit big-endian sum of its block bytes.
void writeChunks(Writer& out)
{
    static unsigned char block[BLOCK_SIZE];
    uint64_t blockIndex = 0;
    for (uint64_t chunk = 1; !out.done() && !out.failed(); ++chunk) {
        bool first = (chunk == 1);
        uint32_t blocks = first ? FIRST_CHUNK_BLOCKS : LATER_CHUNK_BLOCKS;
        const unsigned char* marks = first ? FIRST_CHUNK_MARKS : LATER_CHUNK_MARKS;
        uint32_t sum = 0;
        for (uint32_t b = 0; b < blocks; ++b, ++blockIndex) {
            Rng pattern(blockIndex);
            block[0] = marks[b];
            for (uint32_t i = 1; i < BLOCK_SIZE; ++i)
                block[i] = static_cast<unsigned char>(pattern.next() >> 24);
            for (uint32_t i = 0; i < BLOCK_SIZE; ++i)
                sum += block[i];
            out.put(block, BLOCK_SIZE);
        }
        unsigned char check[CHECKSUM_SIZE] = {static_cast<unsigned char>((sum >> 8) & 0xFF),
                                              static_cast<unsigned char>(sum & 0xFF)};
        out.put(check, CHECKSUM_SIZE);
    }
}

} // namespace

int main(int argc, char** argv)
{
    int chunks = 30;
    unsigned char header[HEADER_SIZE] = {HEADER_CODE, 0x03, 0x01, 0x01, 0x49};
    bool haveLength = false;
    uint64_t length = 0;
    std::string outPath;

    Args args(argc, argv, "trelvane-mkimage", USAGE);
    while (args.next()) {
        const std::string& name = args.name();
        if (args.plain()) {
            if (!outPath.empty())
                args.fail("only one output file");
            outPath = name;
        } else if (name == "--chunks") {
            uint64_t n = 0;
            if (!parseDecimal(args.value(), MAX_CHUNKS, n))
                args.fail("--chunks wants a number from 0 to 127");
            chunks = static_cast<int>(n);
        } else if (name == "--header") {
            if (!parseHeader(args.value(), header))
                args.fail("--header wants five hex bytes, comma separated, e.g. FF,03,01,01,49");
        } else if (name == "--length") {
            if (!parseDecimal(args.value(), MAX_LENGTH, length))
                args.fail("--length wants a byte count");
            haveLength = true;
        } else if (name == "--help" || name == "-h") {
            args.help();
        } else {
            args.fail("unknown option " + name);
        }
    }
    if (outPath.empty())
        args.fail("missing OUT_FILE");
    if (!haveLength)
        length = static_cast<uint64_t>(expectedSize(chunks));

    unsigned char loader[LOADER_SIZE];
    makeLoader(chunks, loader);
    if (chunkCount(loader) != chunks) {
        fprintf(stderr, "trelvane-mkimage: the loader made for %d chunks counts %d\n", chunks,
                static_cast<int>(chunkCount(loader)));
        return 1;
    }

    const char* path = outPath.c_str();
    FILE* f = fopen(path, "wb");
    if (!f) {
        fprintf(stderr, "trelvane-mkimage: cannot create %s: %s\n", path, strerror(errno));
        return 1;
    }
    Writer out(f, length);
    out.put(header, HEADER_SIZE);
    out.put(loader, LOADER_SIZE);
    writeChunks(out);

    bool ok = !out.failed();
    if (fclose(f) != 0)
        ok = false;
    if (!ok) {
        fprintf(stderr, "trelvane-mkimage: cannot write %s: %s\n", path, strerror(errno));
        return 1;
    }
    return 0;
}
