// The image layout rules, the bounded reader and the image check.
#include <gtest/gtest.h>

#include <vector>

#include "image/image.h"

namespace {

// The header made into a layout-valid image of n chunks (loader byte 0 names
// the count), resized to len bytes when len is given.
std::vector<unsigned char> makeImage(std::vector<unsigned char> img, int n, long len = -1)
{
    img.resize(static_cast<size_t>(len >= 0 ? len : expectedSize(n)), 0x11);
    if (img.size() > 5)
        img[5] = static_cast<unsigned char>(2 * (n + 1));
    return img;
}

TEST(ImageLayout, ChunkCountAndSize)
{
    struct Case { int b0, b8, chunks, size; };
    const Case cases[] = {
        {0x3E, 0x1E, 30, 254335}, {0x3F, 0x00, 30, 254335}, {0x00, 30, 30, 254335},
        {4, 0, 1, 16651},         {5, 0, 1, 16651},         {6, 0, 2, 24847},
        {2, 0, 0, 8455},          {3, 99, 0, 8455},         {0, 0, 0, 8455},
        {1, 0, -1, 259},          {0x80, 0, -65, -524285},  {0, 0xFF, -1, 259},
        {0x81, 0, -65, -524285},  // odd and negative: halved with its sign kept
        {0x7F, 0, 62, 516607},    {0, 0x7F, 127, 1049347},
    };
    for (const Case& c : cases) {
        unsigned char l[LOADER_SIZE] = {};
        l[0] = static_cast<unsigned char>(c.b0);
        l[8] = static_cast<unsigned char>(c.b8);
        EXPECT_EQ(chunkCount(l), c.chunks) << c.b0 << "/" << c.b8;
        EXPECT_EQ(expectedSize(c.chunks), c.size) << c.chunks;
    }
    EXPECT_EQ(totalBlocks(30), 62);
}

TEST(ImageCheck, MessagesAndOrder)
{
    const std::vector<unsigned char> good = {0xFF, 0x03, 0x01, 0x01, 0x49};
    const std::vector<unsigned char> badCode = {0xFE, 0x03, 0x01, 0x01, 0x49};
    const std::string fileError = "File error, please re-download.\n";
    struct Case { const char* what; std::vector<unsigned char> img; int32_t chunks; std::string out; };
    const Case cases[] = {
        {"built-in layout", makeImage(good, 30), 30, "Loaded Trelvane software v1.73, 254335 bytes.\n"},
        {"no chunks", makeImage(good, 0), 0, "Loaded Trelvane software v1.73, 8455 bytes.\n"},
        {"code byte checked first", makeImage(badCode, 30, 1000), -1, fileError},
        {"one byte long", makeImage(good, 30, 254336), -1,
         "File fails size check, 30 chunks should be 254335 bytes.  File is 254336.\n"},
        {"one byte short", makeImage(good, 30, 254334), -1,
         "File fails size check, 30 chunks should be 254335 bytes.  File is 254334.\n"},
        {"shorter than header and loader", makeImage(good, 30, 260), -1, fileError},
        {"header and loader only", makeImage(good, 30, 261), -1,
         "File fails size check, 30 chunks should be 254335 bytes.  File is 261.\n"},
        {"only a header", makeImage(good, 30, 5), -1, fileError},
        {"empty", {}, -1, fileError},
        {"negative chunk count", [&] { auto img = makeImage(good, 0); img[5] = 1; return img; }(), -1,
         fileError},
        {"header bytes over 127", makeImage({0xFF, 0x83, 0x81, 0xC9, 0xFF}, 0), 0,
         "Loaded Trelvane software v201.255, 8455 bytes.\n"},
    };
    for (const Case& c : cases) {
        firmware = c.img.data();
        firmwareLen = c.img.size();
        offset = 0;
        testing::internal::CaptureStdout();
        const int32_t chunks = checkFirmware();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << c.what;
        EXPECT_EQ(chunks, c.chunks) << c.what;
        EXPECT_EQ(offset, 261u) << c.what << ": header and loader are read first";
    }
}

TEST(ImageReader, NeverReadsPastTheEnd)
{
    // The image sits at the start of a larger buffer: bytes after its end
    // must never show up in what is read.
    std::vector<unsigned char> store = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    store.resize(64, 0xEE);
    firmware = store.data();
    firmwareLen = 10;
    offset = 0;

    unsigned char dest[12];
    memset(dest, 0x77, sizeof dest);
    EXPECT_EQ(ReadFirmware(dest, 8), 8u);
    EXPECT_EQ(ReadFirmware(dest, 8), 8u);
    const unsigned char tail[] = {9, 10, 0, 0, 0, 0, 0, 0, 0x77};
    EXPECT_EQ(0, memcmp(dest, tail, sizeof tail));
    EXPECT_EQ(offset, 16u);
    memset(dest, 0x77, sizeof dest);
    ReadFirmware(dest, 4);
    const unsigned char none[] = {0, 0, 0, 0, 0x77};
    EXPECT_EQ(0, memcmp(dest, none, sizeof none));

    // The front end's version line: missing header bytes read as 0.
    firmwareLen = 4;
    EXPECT_EQ(headerByte(3), 4u);
    EXPECT_EQ(headerByte(4), 0u);
}

} // namespace
