// The run's end: the key pause and the lost line's message, over the line
// and the console in memory.
#include <unistd.h>

#include "tests/line_test.h"

namespace {

using EndTest = LineTest;

// The question is asked before the console's typed-ahead keys are dropped,
// and the key's leftovers are dropped after it.
TEST_F(EndTest, KeyPauseDropsKeysTypedBeforeTheQuestion)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(endRun(-1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string("[closed]") + fake::KEY_PAUSE);
    EXPECT_EQ(fake::line.closeCalls, 2) << "the port and the console, once each";
}

// The lost line's end: its message after the port is closed, the key
// pause, and -1 as the exit status.
TEST_F(EndTest, LostConnectionSaysSoAndEndsTheRun)
{
    EXPECT_EXIT(
        {
            dup2(2, 1);
            lostConnection();
        },
        ::testing::ExitedWithCode(255), fake::LOST_LINE_END);
}

} // namespace
