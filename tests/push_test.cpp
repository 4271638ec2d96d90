// The push's decisions over the line in memory: which hardware fits, the
// same version offered as 9.99, and Update or Revert. Each row is a device's
// announce against an image of no chunks.
#include <vector>

#include "image/image.h"
#include "push/push.h"
#include "tests/line_test.h"

namespace {

using PushTest = LineTest;

TEST_F(PushTest, DecisionsOnTheDevicesAnnounce)
{
    const char* const refused = "This software file is incompatible with this Trelvane's hardware.\n";
    const char* const claim = "Warning: This Trelvane is running the same software version.\n"
                              "         upd will claim to have v9.99 to allow update.\n";
    // What the device announces, the image's header, what the updater says
    // (its decision line, after any warning), and the offer it sends ("":
    // none).
    struct Case { std::string announce, header; std::string says, offer; };
    const std::string image = bytes({0xFF, 3, 1, 1, 73});
    auto select = [](const char* word, const char* device, const char* offered) {
        return std::string("Select '") + word + "' on the Trelvane to replace v" + device +
               " software with v" + offered + ".\n";
    };
    const std::string update = select("Update", "1.70", "1.73");
    const Case cases[] = {
        {bytes({0xFF, 3, 1, 1, 70}), image, update, image},
        // Each hardware code on its own at the edge of the tolerance, both ways.
        {bytes({0xFF, 4, 1, 1, 70}), image, update, image},
        {bytes({0xFF, 2, 1, 1, 70}), image, update, image},
        {bytes({0xFF, 3, 2, 1, 70}), image, update, image},
        {bytes({0xFF, 3, 0, 1, 70}), image, update, image},
        {bytes({0xFF, 5, 1, 1, 70}), image, refused, ""},
        {bytes({0xFF, 1, 1, 1, 70}), image, refused, ""},
        {bytes({0xFF, 3, 3, 1, 70}), image, refused, ""},
        // Header bytes of 0x80 and above, where signed and unsigned
        // comparisons part: code A 0x80 is -128, 255 away from a device's
        // 127; codes 0xFF are -1, next to a device's 0; version 129.00 is
        // below the device's 1.70.
        {bytes({0xFF, 127, 1, 1, 70}), bytes({0xFF, 0x80, 1, 1, 73}), refused, ""},
        {bytes({0xFF, 0, 0, 1, 70}), bytes({0xFF, 0xFF, 0xFF, 1, 73}), update,
         bytes({0xFF, 0xFF, 0xFF, 1, 73})},
        {bytes({0xFF, 3, 1, 1, 70}), bytes({0xFF, 3, 1, 0x81, 0}),
         select("Revert", "1.70", "129.00"), bytes({0xFF, 3, 1, 0x81, 0})},
        // The same version is offered as 9.99; a device at 9.99 already,
        // with an image of 9.99 too, is updated all the same.
        {bytes({0xFF, 3, 1, 1, 73}), image, claim + select("Update", "1.73", "9.99"),
         bytes({0xFF, 3, 1, 9, 99})},
        {bytes({0xFF, 3, 1, 9, 99}), bytes({0xFF, 3, 1, 9, 99}),
         claim + select("Update", "9.99", "9.99"), bytes({0xFF, 3, 1, 9, 99})},
        // A newer device reverts, also when only its major version is newer.
        {bytes({0xFF, 3, 1, 1, 80}), image, select("Revert", "1.80", "1.73"), image},
        {bytes({0xFF, 3, 1, 2, 73}), image, select("Revert", "2.73", "1.73"), image},
    };
    for (const Case& c : cases) {
        fake::line = fake::Line{};
        std::vector<unsigned char> img(static_cast<size_t>(expectedSize(0)), 0x11);
        std::copy(c.header.begin(), c.header.end(), img.begin());
        img[HEADER_SIZE] = 2;  // no chunks
        firmware = img.data();
        firmwareLen = img.size();
        offset = 0;
        setProgname("upd");
        const std::string replies = bytes({0xF1, 0, 0, 0, 0, 0xF2, 0, 0, 0, 0, 0xFB, 0, 0, 0, 0});
        fake::line.input = c.announce + replies;
        testing::internal::CaptureStdout();
        EXPECT_EQ(swPush(), -1);
        std::string out = testing::internal::GetCapturedStdout();
        const std::string listening = "Listening for a Trelvane on COM2\n";
        size_t at = out.find(listening);
        ASSERT_NE(at, std::string::npos) << out;
        std::string said = out.substr(at + listening.size(), c.says.size());
        EXPECT_EQ(said, c.says) << "announce " << testing::PrintToString(c.announce);
        EXPECT_EQ(fake::line.output.substr(0, 5), c.offer) << "announce "
                                                           << testing::PrintToString(c.announce);
    }
}

} // namespace
