// Everything over the line in memory: exact-count transfers, the device
// message receiver, the run's end and the push's decisions. Each test starts
// with a fresh line on COM2 whose loss ends the run as the updater's own does.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <unistd.h>

#include "app/end.h"
#include "app/start.h"
#include "image/image.h"
#include "link/serial.h"
#include "push/push.h"
#include "tests/receiver_check.h"

namespace {

// Bytes as the line carries them.
std::string bytes(std::initializer_list<int> values)
{
    return std::string(values.begin(), values.end());
}

// A device's answers to the offer: two replies, then ready.
const std::string replies = bytes({0xF1, 0, 0, 0, 0, 0xF2, 0, 0, 0, 0}), ready = bytes({0xFB, 0, 0, 0, 0});

// Runs the push on an image of this header and a loader of so many chunks;
// returns what it printed. A wait that would never end fails it.
std::string push(const std::string& header, int chunks)
{
    const std::string img = header + static_cast<char>(2 * (chunks + 1))
                          + std::string(expectedSize(chunks) - HEADER_SIZE - 1, '\x11');
    firmware = reinterpret_cast<const unsigned char*>(img.data());
    firmwareLen = img.size();
    offset = 0;
    hCom = reinterpret_cast<HANDLE>(static_cast<intptr_t>(7));  // the run's end closed it
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(EXPECT_EQ(swPush(), -1)) << "a wait that never ends";
    return testing::internal::GetCapturedStdout();
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::line = fake::Line{};
        hCom = reinterpret_cast<HANDLE>(static_cast<intptr_t>(7));
        strcpy(COMPORT, "COM2");
        onLineLost = lostConnection;
    }
};

// However few bytes one call moves, a transfer takes as many calls as it
// needs and moves exactly its count, nothing past it.
TEST_F(LinkTest, TransfersCompleteWhateverTheLinePacing)
{
    struct Case { size_t most; DWORD count; int calls; };
    const Case cases[] = {
        {1, 4, 4}, {3, 4, 2}, {4096, 4097, 2}, {1 << 20, 4097, 1}, {1, 1, 1},
        {1000, 4097, 5}, {4097, 4097, 1}, {1, 5, 5}, {1, 0, 0},
    };
    for (const Case& c : cases) {
        fake::line = fake::Line{};
        for (DWORD i = 0; i < c.count + 3; ++i)
            fake::line.input.push_back(static_cast<char>(i * 7));
        fake::line.maxRead = fake::line.maxWrite = c.most;
        std::string got(c.count + 2, '\x55');
        FullReadFile(hCom, &got[0], c.count);
        FullWriteFile(hCom, got.data(), c.count);
        EXPECT_EQ(got, fake::line.input.substr(0, c.count) + "\x55\x55") << c.most << ": read past the count";
        EXPECT_EQ(fake::line.readPos, c.count) << "read beyond its count";
        EXPECT_EQ(fake::line.output, fake::line.input.substr(0, c.count)) << c.most;
        EXPECT_EQ(fake::line.readCalls, c.calls) << c.most;
        EXPECT_EQ(fake::line.writeCalls, c.calls) << c.most;
    }
}

// Moves "abcd" in from the line or "wxyz" out to it; returns what moved.
std::string moveFour(bool reading)
{
    char got[4];
    if (reading)
        FullReadFile(hCom, got, 4);
    else
        FullWriteFile(hCom, "wxyz", 4);
    return reading ? std::string(got, 4) : fake::line.output;
}

// Calls that run out of time on a line still there are asked again, after a
// look at the port and a pause wherever they moved nothing, so that a driver
// that returns at once cannot make the updater spin: serial.sys (nothing
// moved) and FTDI's driver (part moved and counted) complete the transfer
// exactly. A call that fails ends the run as lostConnection does (message,
// port closed once, key pause, -1), whatever it moved, and what went out
// before went out once: the in-box USB driver's late call (bytes out, a
// count of 0), a call failing part-way, the first time-out on a line that
// is gone. Standard output is sent to the death test's stderr to match it;
// a run that spins instead is ended by the alarm, which fails the test.
TEST_F(LinkTest, TimeOutsWaitOnALiveLineAndAFailedCallEndsTheRun)
{
    using fake::Driver;
    const size_t never = std::string::npos;
    // Five late calls of each driver, then a line that moves what is asked.
    struct Live { Driver driver; int asks, calls; };
    const Live live[] = {{Driver::SerialSys, 5, 6}, {Driver::Ftdi, 3, 6}};
    struct Ends { const char* what; Driver driver; int timeOuts; size_t most, failAt; bool gone; const char* sent; };
    const Ends ends[] = {
        {"the USB driver fails a late call", Driver::UsbSer, 1, 3, never, false, "wxy"},
        {"a call fails part-way", Driver::SerialSys, 0, 1, 2, false, "wx"},
        {"a time-out on a line that is gone", Driver::SerialSys, 1000000, 1, never, true, ""},
    };
    for (bool reading : {true, false}) {
        for (const Live& c : live) {
            fake::line = fake::Line{};
            fake::line.input = "abcd";
            fake::line.driver = c.driver;
            fake::line.timeOuts = 5;
            EXPECT_EQ(moveFour(reading), reading ? "abcd" : "wxyz");
            EXPECT_EQ(fake::line.clearCalls, c.asks) << "each call that moved nothing asks the port";
            EXPECT_EQ(fake::line.pauses, c.asks) << "and on a live line pauses";
            EXPECT_EQ(fake::line.readCalls + fake::line.writeCalls, c.calls);
        }
        for (const Ends& c : ends) {
            EXPECT_EXIT(
                {
                    dup2(2, 1);
                    alarm(10);
                    fake::line = fake::Line{};
                    fake::line.input = "abcd";
                    fake::line.driver = c.driver;
                    fake::line.timeOuts = c.timeOuts;
                    fake::line.maxRead = fake::line.maxWrite = c.most;
                    fake::line.failReadAt = fake::line.failWriteAt = c.failAt;
                    fake::line.gone = c.gone;
                    onLineLost = [] {
                        printf("sent '%s'", fake::line.output.c_str());
                        lostConnection();
                    };
                    moveFour(reading);
                },
                ::testing::ExitedWithCode(255),
                std::string("^sent '") + (reading ? "" : c.sent)
                    + "'\nLost connection on COM2\n\\[closed\\]\nPress any key to continue\\.\\.\\..*\\[key\\]")
                << (reading ? "reading: " : "writing: ") << c.what;
        }
    }
}

TEST_F(LinkTest, MessagesAreFoundInAnyStream)
{
    struct Case { const char* what; std::string stream; std::vector<std::string> messages; };
    std::string lowBytes;
    for (int b = 0; b <= 0xEF; ++b)
        lowBytes.push_back(static_cast<char>(b));
    const Case cases[] = {
        {"noise before a code byte", bytes({0x00, 0x41, 0xFF, 0x03, 0x01, 0x01, 0x46}),
         {bytes({0xFF, 0x03, 0x01, 0x01, 0x46})}},
        {"void then good", bytes({0xFF, 0x03, 0x81, 0x01, 0x46, 0xFF, 0x03, 0x01, 0x01, 0x46}),
         {bytes({0x00, 0x03, 0x81, 0x01, 0x46}), bytes({0xFF, 0x03, 0x01, 0x01, 0x46})}},
        {"code byte among the data bytes", bytes({0xFF, 0xFF, 0x03, 0x01, 0x01, 0xFB, 0, 0, 0, 0}),
         {bytes({0x00, 0xFF, 0x03, 0x01, 0x01}), bytes({0xFB, 0, 0, 0, 0})}},
        {"every non-code byte dropped", lowBytes + bytes({0xF0, 0x7F, 1, 2, 3}),
         {bytes({0xF0, 0x7F, 1, 2, 3})}},
        {"top bit in the last data byte", bytes({0xFE, 1, 2, 3, 0x80, 0xF1, 0x7F, 0x7F, 0x7F, 0x7F}),
         {bytes({0x00, 1, 2, 3, 0x80}), bytes({0xF1, 0x7F, 0x7F, 0x7F, 0x7F})}},
    };
    for (size_t maxRead : {size_t(1), size_t(3), size_t(1) << 20}) {
        for (const Case& c : cases) {
            fake::line = fake::Line{};
            fake::line.input = c.stream;
            fake::line.maxRead = maxRead;
            for (const std::string& want : c.messages) {
                readSwBlock();
                EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), want) << c.what;
            }
            EXPECT_EQ(fake::line.readPos, c.stream.size()) << c.what;
            EXPECT_THROW(readSwBlock(), fake::Starved) << c.what << ": a message out of nothing";
        }
    }
    // Whatever arrives, read in pieces of any size, the receiver keeps its promise.
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        fake::line = fake::Line{};
        size_t len = rng() % 200;
        for (size_t i = 0; i < len; ++i)
            fake::line.input.push_back(static_cast<char>(rng() % 3 == 0 ? 0xF0 | (rng() & 15) : rng() & 0xFF));
        fake::line.maxRead = 1 + rng() % 8;
        EXPECT_TRUE(receiverKeepsItsPromise()) << "round " << round;
    }
}

// The push's decisions: which hardware fits, the same version offered as
// 9.99, and Update or Revert. Each row is a device's announce against an
// image of no chunks.
TEST_F(LinkTest, PushDecidesOnTheDevicesAnnounce)
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
        {bytes({0xFF, 4, 1, 1, 70}), image, update, image}, {bytes({0xFF, 2, 1, 1, 70}), image, update, image},
        {bytes({0xFF, 3, 2, 1, 70}), image, update, image}, {bytes({0xFF, 3, 0, 1, 70}), image, update, image},
        {bytes({0xFF, 5, 1, 1, 70}), image, refused, ""},   {bytes({0xFF, 1, 1, 1, 70}), image, refused, ""},
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
    setProgname("upd");
    const std::string listening = "Listening for a Trelvane on COM2\n";
    for (const Case& c : cases) {
        fake::line = fake::Line{};
        fake::line.input = c.announce;
        fake::line.answers = {{HEADER_SIZE, replies + ready}};
        const std::string out = push(c.header, 0);
        size_t at = out.find(listening);
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_EQ(out.substr(at + listening.size(), c.says.size()), c.says) << testing::PrintToString(c.announce);
        EXPECT_EQ(fake::line.output.substr(0, 5), c.offer) << testing::PrintToString(c.announce);
    }
}

// A device of three chunks answers each step only once it has come in, and
// may send more before the offer and before each chunk: what came before the
// updater spoke is never read as an answer. A driver that queues what is
// written gets the time to send it all before the close, but no more than a
// write's time when its queue never empties.
TEST_F(LinkTest, PushReadsOnlyAnswersAndDrainsBeforeTheClose)
{
    const std::string announce = bytes({0xFF, 3, 1, 1, 70}), sync = "\xA5";
    const size_t chunk1 = 2 * HEADER_SIZE + LOADER_SIZE + FIRST_CHUNK_SIZE;
    const size_t chunk2 = chunk1 + 1 + LATER_CHUNK_SIZE;
    // Strays: two more announces, a second ready and a stray byte after it, a
    // byte in the pause after the loader, each sync byte twice.
    struct Case { bool strays, queues; size_t sendsPerMs; };
    for (const Case& c : {Case{false, false, 0}, Case{true, false, 0}, Case{true, true, 50}, Case{false, true, 0}}) {
        SCOPED_TRACE(std::string(c.strays ? "strays" : "answers") + (c.queues ? ", queueing" : ""));
        fake::line = fake::Line{};
        fake::line.input = announce + (c.strays ? announce + announce : "");
        const std::string again = c.strays ? sync : "";
        fake::line.answers = {{HEADER_SIZE, replies}, {2 * HEADER_SIZE, ready + (c.strays ? ready + "\xFF" : "")},
                              {2 * HEADER_SIZE + LOADER_SIZE, c.strays ? std::string(1, '\0') : ""},
                              {chunk1, sync + again}, {chunk2, sync + again}};
        fake::line.queues = c.queues;
        fake::line.sendsPerMs = c.sendsPerMs;
        push(bytes({0xFF, 3, 1, 1, 73}), 3);
        EXPECT_EQ(fake::line.taken, announce + replies + ready + sync + sync);
        EXPECT_EQ(fake::line.output.size(), chunk2 + 1 + LATER_CHUNK_SIZE + 3);
        // Beside the two pauses around the loader: the drain's, a write's time
        // at most, and all of it where the queue never empties.
        const long drained = fake::line.slept - 2 * 1000;
        EXPECT_EQ(fake::line.lostAtClose > 0, c.queues && !c.sendsPerMs) << "bytes cut off at the close";
        EXPECT_GE(drained, c.queues && !c.sendsPerMs ? 2000 : 0) << "the drain gave up early";
        EXPECT_LE(drained, c.queues ? 2010 : 0) << "the drain waited too long";
    }
}

} // namespace
