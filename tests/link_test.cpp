// Exact-count transfers and the device message receiver, over a line in memory.
#include <random>
#include <unistd.h>

#include "tests/line_test.h"
#include "tests/receiver_check.h"

namespace {

using LinkTest = LineTest;

TEST_F(LinkTest, ReadsCompleteWhateverTheLinePacing)
{
    struct Case { size_t maxRead; DWORD count; int calls; };
    const Case cases[] = {
        {1, 4, 4},        // bytes trickling in one at a time
        {3, 4, 2},
        {4096, 4097, 2},
        {1 << 20, 4097, 1},
        {1, 1, 1},
    };
    for (const Case& c : cases) {
        fake::line = fake::Line{};
        for (DWORD i = 0; i < c.count + 3; ++i)
            fake::line.input.push_back(static_cast<char>(i * 7));
        fake::line.maxRead = c.maxRead;
        std::string got(c.count + 2, '\x55');
        FullReadFile(hCom, &got[0], c.count);
        EXPECT_EQ(got.substr(0, c.count), fake::line.input.substr(0, c.count)) << c.maxRead;
        EXPECT_EQ(got.substr(c.count), "\x55\x55") << "wrote past the count";
        EXPECT_EQ(fake::line.readPos, c.count) << "read beyond its count";
        EXPECT_EQ(fake::line.readCalls, c.calls) << c.maxRead;
    }
}

TEST_F(LinkTest, WritesCompleteWhenTheLineTakesThemInParts)
{
    struct Case { size_t maxWrite; DWORD count; int calls; };
    const Case cases[] = {{1000, 4097, 5}, {4097, 4097, 1}, {1, 5, 5}, {4096, 4097, 2}};
    for (const Case& c : cases) {
        fake::line = fake::Line{};
        fake::line.maxWrite = c.maxWrite;
        std::string data;
        for (DWORD i = 0; i < c.count; ++i)
            data.push_back(static_cast<char>(i * 13 + 1));
        FullWriteFile(hCom, data.data(), c.count);
        EXPECT_EQ(fake::line.output, data) << c.maxWrite;
        EXPECT_EQ(fake::line.writeCalls, c.calls) << c.maxWrite;
    }
}

TEST_F(LinkTest, ZeroCountCallsNothing)
{
    char c = 0;
    FullReadFile(hCom, &c, 0);
    FullWriteFile(hCom, &c, 0);
    EXPECT_EQ(fake::line.readCalls + fake::line.writeCalls, 0);
}

// A failing call ends the run: message, port closed once, key pause, -1.
// Standard output is sent to the death test's stderr to match it; a run that
// spins instead is ended by the alarm, which fails the test.
TEST_F(LinkTest, LostLineEndsTheRunInsteadOfSpinning)
{
    EXPECT_EXIT(
        {
            dup2(2, 1);
            alarm(10);
            fake::line.input = "abc";
            fake::line.failReadAt = 2;
            char got[4];
            FullReadFile(hCom, got, 4);
        },
        ::testing::ExitedWithCode(255), fake::LOST_LINE_END);
    EXPECT_EXIT(
        {
            dup2(2, 1);
            alarm(10);
            fake::line.maxWrite = 1000;
            fake::line.failWriteAt = 2500;
            static char data[4097];
            FullWriteFile(hCom, data, sizeof data);
        },
        ::testing::ExitedWithCode(255), fake::LOST_LINE_END);
}

// Calls that time out on a line still there are asked again, each after a
// look at the port and a pause, so that a driver that returns at once cannot
// make the updater spin; the transfer completes exactly. On a line that is gone
// the first time-out ends the run.
TEST_F(LinkTest, TimeOutsWaitOnALiveLineAndEndTheRunOnALostOne)
{
    for (bool reading : {true, false}) {
        fake::line = fake::Line{};
        fake::line.input = "abcd";
        fake::line.quietCalls = 5;
        char got[4];
        if (reading)
            FullReadFile(hCom, got, 4);
        else
            FullWriteFile(hCom, "wxyz", 4);
        EXPECT_EQ(reading ? std::string(got, 4) : fake::line.output, reading ? "abcd" : "wxyz");
        EXPECT_EQ(fake::line.clearCalls, 5) << "each time-out asks the port";
        EXPECT_EQ(fake::line.pauses, 5) << "each time-out on a live line pauses";
        EXPECT_GE(fake::line.shortestPause, 20u);
        EXPECT_EQ(fake::line.readCalls + fake::line.writeCalls, 6);
    }
    for (bool reading : {true, false}) {
        EXPECT_EXIT(
            {
                dup2(2, 1);
                alarm(10);
                fake::line.input = "abcd";
                fake::line.quietCalls = 1000000;
                fake::line.gone = true;
                char got[4];
                if (reading)
                    FullReadFile(hCom, got, 4);
                else
                    FullWriteFile(hCom, "wxyz", 4);
                fprintf(stderr, "[%d calls]", fake::line.readCalls + fake::line.writeCalls);
            },
            ::testing::ExitedWithCode(255), fake::LOST_LINE_END);
    }
}

TEST_F(LinkTest, MessagesAreFoundInTheStream)
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
}

// Whatever arrives, read in pieces of any size, the receiver keeps its promise.
TEST_F(LinkTest, AnyStreamGivesOnlyWellFormedMessages)
{
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

} // namespace
