// The program's own name and the choice of port from argument and prompt.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <string>
#include <vector>

#include "app/start.h"
#include "image/image.h"

namespace {

TEST(Start, ProgramNameLosesEveryDirectory)
{
    struct Case { const char* path; const char* name; };
    const Case cases[] = {
        {"a/b\\c/upd.exe", "upd.exe"}, {"a\\b/c\\upd.exe", "upd.exe"},
        {"C:\\tools\\upd.exe", "upd.exe"}, {"./build/native/trelvane-update", "trelvane-update"},
        {"upd", "upd"}, {"dir/", ""}, {"", ""},
    };
    for (const Case& c : cases) {
        setProgname(c.path);
        EXPECT_STREQ(progname, c.name) << c.path;
    }
}

// Runs choosePort with the given command line and prompt answer; returns what it printed.
std::string choose(std::vector<std::string> args, const char* answer)
{
    char path[] = "/tmp/trelvane-answerXXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || write(fd, answer, strlen(answer)) != static_cast<ssize_t>(strlen(answer)))
        ADD_FAILURE() << "cannot write the prompt answer";
    close(fd);
    EXPECT_NE(freopen(path, "r", stdin), nullptr);
    args.insert(args.begin(), "upd");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    choosePort(static_cast<int>(args.size()), argv.data());
    std::string out = testing::internal::GetCapturedStdout();
    unlink(path);
    return out;
}

TEST(Start, PortFromArgumentOrPrompt)
{
    static const unsigned char header[] = {0xFF, 0x03, 0x01, 0x01, 0x49};
    firmware = header;
    firmwareLen = sizeof header;
    const std::string asked = "Installing Trelvane Software v1.73.\nWhat COM port is the Trelvane connected to? ";
    struct Case { std::vector<std::string> args; const char* answer; const char* port; bool prompted; };
    const Case cases[] = {
        {{"-3"}, "7\n", "COM3", false},
        {{"-12"}, "", "COM1", false},
        {{"-9", "-2"}, "", "COM9", false},
        {{}, "2\n", "COM2", true},
        {{}, "  9  rest\n", "COM9", true},
        {{"-0"}, "4\n", "COM4", true},
        {{"-x"}, "4\n", "COM4", true},
        {{"-"}, "4\n", "COM4", true},
        {{"3"}, "5\n", "COM5", true},
        {{"--3"}, "5\n", "COM5", true},
        {{}, "0\n", "COM0", true},       // no second prompt
        {{}, "COM4\n", "COMC", true},    // only the first character counts
        {{}, "", "COM1", true},          // end of input
        {{}, "   \n\n", "COM1", true},
    };
    for (const Case& c : cases) {
        std::string out = choose(c.args, c.answer);
        EXPECT_STREQ(COMPORT, c.port) << c.answer;
        EXPECT_EQ(out, c.prompted ? asked : "") << c.port;
    }

    // A long answer fills the prompt buffer and no further.
    std::string longAnswer(10000, '6');
    choose({}, longAnswer.c_str());
    EXPECT_STREQ(COMPORT, "COM6");
    EXPECT_EQ(strlen(linebuf), 80u);
}

TEST(Start, VersionLineShowsUnsignedBytesAndZerosForMissingOnes)
{
    struct Case { std::vector<unsigned char> image; const char* line; };
    const Case cases[] = {
        {{0xFF, 0x83, 0x81, 0xC9, 0xFF}, "Installing Trelvane Software v201.255.\n"},
        {{0xFF, 0x03, 0x01, 0x02}, "Installing Trelvane Software v2.00.\n"},
        {{0xFF}, "Installing Trelvane Software v0.00.\n"},
    };
    for (const Case& c : cases) {
        firmware = c.image.data();
        firmwareLen = c.image.size();
        std::string out = choose({}, "2\n");
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), c.line);
    }
}

} // namespace
