// The program's own name and the choice of port from argument and prompt.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sys/mman.h>
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

// Runs choosePort with the given arguments and prompt answer; returns what it printed.
std::string choose(std::vector<std::string> args, const std::string& answer)
{
    // Standard input reopened on a file in memory: no folder holds it.
    const int fd = memfd_create("answer", 0);
    EXPECT_EQ(write(fd, answer.data(), answer.size()), static_cast<ssize_t>(answer.size()));
    EXPECT_NE(freopen(("/proc/self/fd/" + std::to_string(fd)).c_str(), "r", stdin), nullptr);
    close(fd);
    args.insert(args.begin(), "upd");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    testing::internal::CaptureStdout();
    choosePort(static_cast<int>(argv.size()), argv.data());
    return testing::internal::GetCapturedStdout();
}

// A first argument -1 to -9 names the port. Otherwise the prompt shows the
// image's version, its bytes unsigned and those it lacks as zeros, and the
// answer's first character names the port; no answer at all is COM1.
TEST(Start, PortFromArgumentOrPrompt)
{
    // shown: the version in the prompt, nullptr where there must be no prompt.
    struct Case { std::vector<std::string> args; std::string answer; const char* port; const char* shown;
                  std::vector<unsigned char> image = {0xFF, 0x03, 0x01, 0x01, 0x49}; };
    const Case cases[] = {
        {{"-3"}, "7\n", "COM3", nullptr}, {{"-12"}, "", "COM1", nullptr}, {{"-9", "-2"}, "", "COM9", nullptr},
        {{}, "2\n", "COM2", "1.73"}, {{}, "  9  rest\n", "COM9", "1.73"},
        {{"-0"}, "4\n", "COM4", "1.73"}, {{"-x"}, "4\n", "COM4", "1.73"}, {{"-"}, "4\n", "COM4", "1.73"},
        {{"3"}, "5\n", "COM5", "1.73"}, {{"--3"}, "5\n", "COM5", "1.73"}, {{"+3"}, "5\n", "COM5", "1.73"},
        {{}, "0\n", "COM0", "1.73"},     // no second prompt
        {{}, "COM4\n", "COMC", "1.73"},  // only the first character counts
        {{}, "", "COM1", "1.73"}, {{}, "   \n\n", "COM1", "1.73"},  // end of input, blank lines
        {{}, "2\n", "COM2", "201.255", {0xFF, 0x83, 0x81, 0xC9, 0xFF}},
        {{}, "2\n", "COM2", "2.00", {0xFF, 0x03, 0x01, 0x02}},
        {{}, "2\n", "COM2", "0.00", {0xFF}},
    };
    for (const Case& c : cases) {
        firmware = c.image.data();
        firmwareLen = c.image.size();
        std::string out = choose(c.args, c.answer);
        EXPECT_STREQ(COMPORT, c.port) << c.answer;
        EXPECT_EQ(out, c.shown ? std::string("Installing Trelvane Software v") + c.shown +
                                     ".\nWhat COM port is the Trelvane connected to? "
                               : "") << c.port;
    }

    // A long answer fills the prompt buffer and no further.
    choose({}, std::string(10000, '6'));
    EXPECT_STREQ(COMPORT, "COM6");
    EXPECT_EQ(strlen(linebuf), 80u);
}

// The name opened for COMPORT: TRELVANE_<COMPORT>'s where it is set, a COM
// name with Windows' device prefix, any other as it is; none past MAX_PATH.
TEST(Start, PortNameFromTheEnvironment)
{
    struct Case { const char* value; const char* opened; };
    const std::string longest(259, 'x'), tooLong(260, 'x');
    const Case cases[] = {
        {nullptr, "COM3"}, {"", "COM3"}, {"COM17", "\\\\.\\COM17"}, {"com4", "\\\\.\\com4"},
        {"\\\\.\\COM17", "\\\\.\\COM17"}, {"/dev/ttyUSB0", "/dev/ttyUSB0"}, {"COM1x", "COM1x"},
        {"COM", "COM"}, {"COM0", "COM0"}, {"COM07", "COM07"}, {longest.c_str(), longest.c_str()}, {tooLong.c_str(), nullptr},
    };
    strcpy(COMPORT, "COM3");
    for (const Case& c : cases) {
        if (c.value)
            setenv("TRELVANE_COM3", c.value, 1);
        else
            unsetenv("TRELVANE_COM3");
        const char* opened = portName();
        EXPECT_STREQ(opened, c.opened) << (c.value ? c.value : "(unset)");
    }
    unsetenv("TRELVANE_COM3");
    EXPECT_STREQ(COMPORT, "COM3") << "the port keeps its name for the messages";
}

} // namespace
